// Receives the program's own syslog lines: inside the test sandbox /dev is
// private, so the test binds the syslog socket itself.
#ifndef ZOL_TEST_SYSLOG_CAPTURE_H
#define ZOL_TEST_SYSLOG_CAPTURE_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

class SyslogCapture {
public:
    SyslogCapture()
    {
        unlink(kPath);
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, kPath);
        // Outside tests/unit/in_sandbox.sh the host's /dev/log cannot be taken over.
        m_bound = bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        EXPECT_TRUE(m_bound) << "run the unit tests through tests/unit/in_sandbox.sh";
    }
    ~SyslogCapture()
    {
        close(m_fd);
        if (m_bound) { // never the host's own socket
            unlink(kPath);
        }
    }

    // The lines received so far, without the "<14>date ident: " head.
    std::vector<std::string> lines()
    {
        std::vector<std::string> result;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            std::string line(buffer, static_cast<size_t>(n));
            m_priorities.push_back(std::stoi(line.substr(1)));
            size_t head = line.find(": ");
            result.push_back(head == std::string::npos ? line : line.substr(head + 2));
        }
        return result;
    }
    const std::vector<int> &priorities() const { return m_priorities; }

    // The lines received so far, each an error trace, reduced to their
    // messages: the "ZOL_TRACE Error: file:line mosaId = N " head is the
    // trace facility's, checked by its own test.
    std::vector<std::string> errors()
    {
        std::vector<std::string> messages;
        for (const std::string &line : lines()) {
            EXPECT_EQ(line.rfind("ZOL_TRACE Error: ", 0), 0u) << line;
            const size_t chip = line.find(" mosaId = ") + strlen(" mosaId = ");
            messages.push_back(line.substr(line.find(' ', chip) + 1));
        }
        return messages;
    }

private:
    static constexpr const char *kPath = "/dev/log";
    int m_fd = -1;
    bool m_bound = false;
    std::vector<int> m_priorities;
};

#endif
