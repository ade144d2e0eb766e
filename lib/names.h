// The words an administrator reads in place of raw addresses: host names by
// reverse resolution, or a placeholder. (The organisation that owns a
// hardware address block is the vendor database's: vendor_db.h.)
#pragma once

#include <cstddef>

constexpr const char* kPlaceholderNone = "(none)";
constexpr const char* kPlaceholderUnknown = "(unknown)";
constexpr const char* kPlaceholderLinkLocal = "(link-local)";
constexpr const char* kPlaceholderPrivate = "(private)";

constexpr std::size_t kHostNameSize = 256;

// family AF_INET takes 4 address bytes; any other family is IPv6 (16 bytes).
// Link-local addresses are never resolved.
void host_name_of(int family, const void* address, char* out, std::size_t size);
// iptype 4 or 6 and a text of that family, else "(none)".
void host_name_of_text(int iptype, const char* text, char* out, std::size_t size);
