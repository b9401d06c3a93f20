// The key the client defences count and remember a client by: an IPv4 address as it is, an IPv6
// address by its /64 (the last 64 bits cleared), since one host is given a whole /64 and may
// connect from any address in it. Pure; any thread.
#pragma once

#include <algorithm>

#include "settings/NetPrefix.h"

inline CNetAddress ClientKey(const CNetAddress& address) {
    CNetAddress key = address;
    if (key.eFamily == CNetAddress::kIPv6) std::fill(key.bytes.begin() + 8, key.bytes.end(), 0);
    return key;
}
