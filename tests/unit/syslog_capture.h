// Receives the program's own syslog lines: inside the test sandbox /dev is
// private, so the test binds the syslog socket itself.
#ifndef ZOL_TEST_SYSLOG_CAPTURE_H
#define ZOL_TEST_SYSLOG_CAPTURE_H

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
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~SyslogCapture()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        if (m_bound) {
            unlink(kPath);
        }
    }
    bool bound() const { return m_bound; }

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

private:
    static constexpr const char *kPath = "/dev/log";
    int m_fd = -1;
    bool m_bound = false;
    std::vector<int> m_priorities;
};

// Outside tests/unit/in_sandbox.sh the host's /dev/log cannot be taken over.
#define REQUIRE_SYSLOG_CAPTURE(capture)                                                          \
    ASSERT_TRUE((capture).bound()) << "run the unit tests through tests/unit/in_sandbox.sh"

#endif
