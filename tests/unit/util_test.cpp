#include "util.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "common/json_ptr.h"
#include "test_text.h"

namespace {

// A failed parse gives -1 and port 0.
TEST(UtilParseUrl, SplitsSchemeHostPortAndPath) {
    const std::pair<const char *, const char *> cases[] = {
        {"wss://api.example.com", "wss api.example.com 443 /"},
        {"ws://host:8080/a/b?x=1&y=2", "ws host 8080 /a/b"},
        {"https://h/api/v1/ws", "https h 443 /api/v1/ws"},
        {"http://h", "http h 80 /"},
        {"ws://h", "ws h 80 /"},
        {"WSS://h/p", "WSS h 0 /p"},  // schemes are case-sensitive
        {"wss://h:12ab/p", "wss h 12 /p"},
        {"wss:///path", "wss path 443 /"},
        {"wss://", "-1 0"},
        {"wss://:443/path", "-1 0"},
        {"no-scheme-here", "-1 0"},
        {"://host/path", "-1 0"},
    };
    for (const auto &[url, expected] : cases) {
        parsed_url p;
        memset(&p, 0x5A, sizeof p);
        const int rc = util_parse_url(url, &p);
        const std::string port = std::to_string(p.port);
        EXPECT_EQ(rc ? std::to_string(rc) + " " + port
                     : p.scheme + (" " + std::string(p.host)) + " " + port + " " + p.path,
                  expected)
            << url;
    }
}

// Fields of 6 bytes keep at most 5; a character that does not fit whole is left
// out, and bytes that were never UTF-8 are cut where they fall.
TEST(UtilCopyCut, EndsOnACharacterBoundary) {
    const std::pair<const char *, const char *> cases[] = {
        {"abcdefg", "abcde"},                         // ASCII
        {"abcde", "abcde"},                           // exact fit
        {"ab", "ab"},                                 // short
        {"abcd\xC3\xA9", "abcd"},                     // 2 bytes across the limit
        {"abc\xE2\x82\xAC", "abc"},                   // 3 bytes, two of them beyond
        {"abcd\xE2\x82\xAC", "abcd"},                 // 3 bytes, one inside
        {"ab\xF0\x9F\x98\x80", "ab"},                 // 4 bytes across the limit
        {"a\xF0\x9F\x98\x80z", "a\xF0\x9F\x98\x80"},  // 4 bytes fit exactly
        {"abcd\x80\x80\x80", "abcd\x80"},             // stray continuation bytes
        {"\x80\x80\x80\x80\x80\x80", "\x80\x80\x80\x80\x80"},
        {"abc\xE2zz", "abc\xE2z"},  // broken character before the cut
    };
    for (const auto &[in, out] : cases) {
        char field[6];
        memset(field, 'X', sizeof field);
        copy_cut(field, in);
        EXPECT_STREQ(field, out) << in;
    }
}

TEST(UtilStrReplace, ReplacesEveryNonOverlappingOccurrence) {
    struct Case {
        const char *str, *sub, *repl, *want;
    };
    const Case cases[] = {
        {"a\"b\"c", "\"", "", "abc"}, {"aaaa", "aa", "b", "bb"},
        {"aaa", "aa", "xyz", "xyza"}, {"no match", "zz", "y", "no match"},
        {"", "x", "y", ""},           {"x.x", "x", "long", "long.long"},
    };
    for (const auto &c : cases) {
        c_str_ptr out(util_str_replace(c.str, c.sub, c.repl));
        ASSERT_TRUE(out);
        EXPECT_STREQ(out.get(), c.want) << c.str;
    }
    EXPECT_TRUE(has(errors_of([] { EXPECT_EQ(util_str_replace("abc", "", "x"), nullptr); }),
                    "ERROR: Substring can't be empty!"));
}

// One routing table per row: the first default route gives the gateway; none, or
// one without a gateway, fails.
TEST(UtilDefaultGateway, ReadsTheFirstDefaultRoute) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const std::string net = "eth0\t0002000A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    const std::string gw1 = "eth0\t00000000\t0102000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string gw2 = "eth1\t00000000\t0202000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string zero = "eth0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    const struct {
        std::string table;
        int rc;
        uint32_t gw;
    } cases[] = {
        {header + net + gw1 + gw2, 0, 0x0102000A},
        {header + net, -1, 0},
        {header + zero + gw1, -1, 0},
    };
    TempDir dir;
    const auto path = dir / "route";
    for (const auto &c : cases) {
        std::ofstream(path) << c.table;
        uint32_t gw = 7;
        EXPECT_EQ(util_default_gateway_from(path.c_str(), &gw), c.rc) << c.table;
        EXPECT_EQ(gw, c.gw) << c.table;
    }

    uint32_t gw;
    EXPECT_TRUE(has(errors_of([&] { EXPECT_EQ(util_default_gateway_from("/x/route", &gw), -1); }),
                    "Failed to open /proc/net/route"));
}

// Runs util_name_servers in a child that sees resolv_text as /etc/resolv.conf
// (a private mount namespace, so the host is untouched). Needs root.
std::string name_servers_with(const std::string &resolv_text) {
    TempDir dir;
    const auto file = dir / "resolv.conf";
    std::ofstream(file) << resolv_text;
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = "setup failed";
        if (unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount(file.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0) {
            uint32_t dns[2] = {0, 0};
            uint8_t count = 9;
            int rc = util_name_servers(dns, &count);
            out = std::to_string(rc) + ":" + std::to_string(count);
            for (int i = 0; i < count; ++i) {
                char text[16];
                util_inet_ntoa(dns[i], text);
                out += std::string(" ") + text;
            }
        }
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out = read_all(fds[0]);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

TEST(UtilNameServers, ReportsAtMostTwoInOrder) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    EXPECT_EQ(name_servers_with("nameserver 192.0.2.53\nnameserver 192.0.2.54\n"
                                "nameserver 192.0.2.55\n"),
              "0:2 192.0.2.53 192.0.2.54");
    EXPECT_EQ(name_servers_with("search example\nnameserver 198.51.100.1\n"), "0:1 198.51.100.1");
}

}  // namespace
