// rsyslogd as a test peer, shared by the log tests and the integration tests.
#pragma once

#include <string>
#include <vector>

#include "integration/peer_process.h"

constexpr const char *RSYSLOGD = "/usr/sbin/rsyslogd";

// rsyslogd on its own configuration: UDP and TCP inputs on 127.0.0.1 only, no
// local socket, every message written by a template of its parsed fields.
class RsyslogPeer {
public:
    explicit RsyslogPeer(const std::string &dir) : dir_(dir) {
        udp_port_ = peer_free_port(SOCK_DGRAM);
        tcp_port_ = peer_free_port(SOCK_STREAM);
        peer_write_file(file("rs.conf"),
                        "global(workDirectory=\"" + dir_ + "\" net.enableDNS=\"off\")\n"
                        "module(load=\"imudp\")\nmodule(load=\"imtcp\")\n"
                        "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" + std::to_string(udp_port_) + "\")\n"
                        "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(tcp_port_) + "\")\n"
                        "template(name=\"t\" type=\"string\" string=\"%pri%|%syslogfacility-text%|"
                        "%syslogseverity%|%hostname%|%programname%|%procid%|%msg%|\\n\")\n"
                        "*.* action(type=\"omfile\" file=\"" + file("out.log") + "\" template=\"t\")\n");
    }
    bool start() {
        return proc_.start({RSYSLOGD, "-n", "-f", file("rs.conf"), "-i", file("rs.pid")},
                           file("rs.err")) &&
               peer_wait_until([&] { return peer_tcp_accepts(tcp_port_) && !peer_udp_free(udp_port_); });
    }
    void stop() { proc_.stop(); }
    std::string udp_url() const { return "udp://127.0.0.1:" + std::to_string(udp_port_); }
    std::string tcp_url() const { return "tcp://127.0.0.1:" + std::to_string(tcp_port_); }
    // The received lines, once count of them are there.
    std::vector<std::string> lines(size_t count) const {
        std::vector<std::string> out;
        peer_wait_until([&] {
            out.clear();
            std::string text = peer_read_file(file("out.log"));
            size_t pos = 0;
            for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
                out.push_back(text.substr(pos, nl - pos));
            return out.size() >= count;
        });
        return out;
    }

    std::string file(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    int udp_port_, tcp_port_;
    PeerProcess proc_;
};

