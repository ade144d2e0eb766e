#include "names.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "diag.h"

void host_name_of(int family, const void* address, char* out, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(address);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
        if (bytes[0] == 169 && bytes[1] == 254) {
            copy_bounded(out, kPlaceholderLinkLocal, size);
            return;
        }
        auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
        sin->sin_family = AF_INET;
        std::memcpy(&sin->sin_addr, bytes, 4);
        length = sizeof(sockaddr_in);
    } else {
        if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) {
            copy_bounded(out, kPlaceholderLinkLocal, size);
            return;
        }
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
        sin6->sin6_family = AF_INET6;
        std::memcpy(&sin6->sin6_addr, bytes, 16);
        length = sizeof(sockaddr_in6);
    }
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, out, size, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        copy_bounded(out, kPlaceholderUnknown, size);
    }
}

void host_name_of_text(int iptype, const char* text, char* out, std::size_t size) {
    unsigned char scratch[16];
    int family = 0;
    if (iptype == 4) {
        family = AF_INET;
    } else if (iptype == 6) {
        family = AF_INET6;
    } else {
        copy_bounded(out, kPlaceholderNone, size);
        return;
    }
    if (inet_pton(family, text, scratch) != 1) {
        copy_bounded(out, kPlaceholderNone, size);
        return;
    }
    host_name_of(family, scratch, out, size);
}
