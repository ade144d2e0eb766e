// Turns a text typed by a user into the body of an SQL string literal.
#pragma once

#include <cstddef>

// Copies text into out with every single quote doubled, so that between two
// single quotes it can only ever be a literal. Never splits a doubled quote;
// stops early when out is full and returns false then.
// REQUIRES: size >= 1.
bool sql_literal_body(const char* text, char* out, std::size_t size);
