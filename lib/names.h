// The words an administrator reads in place of raw addresses: host names by
// reverse resolution (or a placeholder), and the organisation that owns a
// hardware address block according to the vendor tables.
#pragma once

#include <sqlite3.h>

#include <cstddef>

constexpr const char* kPlaceholderNone = "(none)";
constexpr const char* kPlaceholderUnknown = "(unknown)";
constexpr const char* kPlaceholderLinkLocal = "(link-local)";
constexpr const char* kPlaceholderPrivate = "(private)";

constexpr std::size_t kHostNameSize = 256;
constexpr std::size_t kOrganisationSize = 128;

// family AF_INET takes 4 address bytes; any other family is IPv6 (16 bytes).
// Link-local addresses are never resolved.
void host_name_of(int family, const void* address, char* out, std::size_t size);
// iptype 4 or 6 and a text of that family, else "(none)".
void host_name_of_text(int iptype, const char* text, char* out, std::size_t size);

// Most specific registration wins: MA-S, MA-M, MA-L, then the locally
// administered digit; "(unknown)" when none matches. Fatal on any database
// error. The text may come from a user: it can only ever act as a literal.
void vendor_lookup(sqlite3* db, const char* hwaddr, char out[kOrganisationSize]);
