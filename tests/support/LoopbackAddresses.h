// IPv6 test addresses (2001:db8::/32) on the loopback interface, so that IPv6 clients of a test
// differ as the gateway sees them, as 127.0.0.x addresses do for IPv4. Adding them needs the
// right to change interfaces (root, or CAP_NET_ADMIN): Add says why not otherwise, for the test
// to skip with. The addresses this object added are removed when it goes; those that were there
// already stay. Test thread only.
#pragma once

#include <string>
#include <vector>

class CLoopbackAddresses {
public:
    CLoopbackAddresses() = default;
    ~CLoopbackAddresses();
    CLoopbackAddresses(const CLoopbackAddresses&) = delete;
    CLoopbackAddresses& operator=(const CLoopbackAddresses&) = delete;

    // Puts each address on lo (as a /128); "" when all of them are there now, otherwise why not:
    //   if (const std::string strWhy = addresses.Add({"2001:db8::5"}); !strWhy.empty())
    //       GTEST_SKIP() << strWhy;
    std::string Add(const std::vector<std::string>& addresses);

private:
    std::vector<std::string> m_added;
};
