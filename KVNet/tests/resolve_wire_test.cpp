// Requests and reply parsers of the address lookups, the directory host list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dev_connection.h"
#include "resolve_config.h"
#include "resolve_wire.h"

namespace {

struct Parsed {
    bool ok;
    std::string addr;
    uint16_t port;
};

// Each fixture is parsed from a buffer of its exact size, so ASan sees any over-read.
Parsed Id(const std::string& text)
{
    std::vector<char> b(text.begin(), text.end());
    Parsed p{false, "", 0};
    p.ok = kv_resolve_parse_id_reply(b.data(), b.size(), &p.addr, &p.port);
    return p;
}

Parsed Dir(const std::string& text)
{
    std::vector<char> b(text.begin(), text.end());
    Parsed p{false, "", 0};
    p.ok = kv_resolve_parse_dir_reply(b.data(), b.size(), &p.addr, &p.port);
    return p;
}

Parsed Redirect(const std::string& text)
{
    std::vector<char> b(text.begin(), text.end());
    Parsed p{false, "", 0};
    p.ok = kv_resolve_parse_redirect_reply(b.data(), b.size(), &p.addr);
    return p;
}

std::string Doc(const std::string& inner)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<?xml version=\"1.0\"?><response>" + inner +
           "</response>";
}

} // namespace

TEST(ResolveWire, Requests)
{
    std::string r;
    ASSERT_TRUE(kv_resolve_id_request(1, "AB12", "ids.example", &r));
    EXPECT_EQ(r, "GET /queryinfo.php?DevID=AB12? HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n"
                 "Host: ids.example\r\n\r\n");
    ASSERT_TRUE(kv_resolve_id_request(11, "AB12", "198.51.100.1", &r));
    EXPECT_EQ(r, "GET /get_info?dev_id=AB12 HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n"
                 "Host: 198.51.100.1\r\n\r\n");
    ASSERT_TRUE(kv_resolve_dir_request("AB12", &r));
    EXPECT_EQ(r, "DIRGETSVRINFO BMSP/0.3\r\nID:AB12\r\n\r\n\r\n");
    ASSERT_TRUE(kv_resolve_redirect_request("198.51.100.1", &r));
    EXPECT_EQ(r, "GET / HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: 198.51.100.1\r\n\r\n");
    EXPECT_FALSE(kv_resolve_id_request(10, "AB12", "h", &r));
}

TEST(ResolveWire, RequestsRefuseInjectedText)
{
    struct Case {
        const char* name;
        std::string id, host;
    } cases[] = {
        {"CR LF in the ID", "AB\r\nX-Evil: 1", "h"},
        {"space in the ID", "AB 12", "h"},
        {"tab in the host", "AB", "h\tx"},
        {"LF in the host", "AB", "h\nHost: other"},
        {"DEL", "AB\x7f", "h"},
        {"empty ID", "", "h"},
        {"empty host", "AB", ""},
        {"ID too long", std::string(kvresolve::kIdMax + 1, 'A'), "h"},
        {"host too long", "AB", std::string(kvresolve::kHostMax + 1, 'h')},
    };
    for (const Case& c : cases) {
        std::string r;
        EXPECT_FALSE(kv_resolve_id_request(1, c.id, c.host, &r)) << c.name;
        EXPECT_FALSE(kv_resolve_id_request(11, c.id, c.host, &r)) << c.name;
        if (c.host == "h")
            EXPECT_FALSE(kv_resolve_dir_request(c.id, &r)) << c.name;
        if (c.id == "AB")
            EXPECT_FALSE(kv_resolve_redirect_request(c.host, &r)) << c.name;
    }
    std::string r;
    EXPECT_TRUE(kv_resolve_id_request(1, std::string(kvresolve::kIdMax, 'A'), "h", &r));
}

TEST(ResolveWire, IdServerReplies)
{
    const std::string ok = "<RemoteIP>203.0.113.7</RemoteIP><MediaPort>9000</MediaPort>";
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        const char* addr;
        uint16_t port;
    } cases[] = {
        {"both elements", Doc(ok), true, "203.0.113.7", 9000},
        {"port before address", Doc("<MediaPort>81</MediaPort><RemoteIP>h.test</RemoteIP>"), true, "h.test", 81},
        {"attributes on the element", Doc("<RemoteIP a=\"1\">203.0.113.7</RemoteIP><MediaPort>9000</MediaPort>"),
         true, "203.0.113.7", 9000},
        {"port 65535", Doc("<RemoteIP>x</RemoteIP><MediaPort>65535</MediaPort>"), true, "x", 65535},
        {"no response element", "<RemoteIP>203.0.113.7</RemoteIP><MediaPort>9000</MediaPort>", false, "", 0},
        {"no terminator", Doc(ok).substr(0, Doc(ok).size() - 11), false, "", 0},
        {"missing address", Doc("<MediaPort>9000</MediaPort>"), false, "", 0},
        {"missing port", Doc("<RemoteIP>203.0.113.7</RemoteIP>"), false, "", 0},
        {"address outside the document", "<RemoteIP>203.0.113.9</RemoteIP><response><MediaPort>1</MediaPort></response>",
         false, "", 0},
        {"elements after the document", Doc("") + ok, false, "", 0},
        {"unclosed address", Doc("<RemoteIP>203.0.113.7<MediaPort>9000</MediaPort>"), false, "", 0},
        {"empty address", Doc("<RemoteIP></RemoteIP><MediaPort>9000</MediaPort>"), false, "", 0},
        {"address of 64 characters", Doc("<RemoteIP>" + std::string(64, 'a') + "</RemoteIP><MediaPort>1</MediaPort>"),
         false, "", 0},
        {"address with a space", Doc("<RemoteIP>203.0.113.7 x</RemoteIP><MediaPort>1</MediaPort>"), false, "", 0},
        {"port 0", Doc("<RemoteIP>x</RemoteIP><MediaPort>0</MediaPort>"), false, "", 0},
        {"port 65536", Doc("<RemoteIP>x</RemoteIP><MediaPort>65536</MediaPort>"), false, "", 0},
        {"port with text", Doc("<RemoteIP>x</RemoteIP><MediaPort>90a</MediaPort>"), false, "", 0},
        {"negative port", Doc("<RemoteIP>x</RemoteIP><MediaPort>-1</MediaPort>"), false, "", 0},
        {"longer element name only", Doc("<RemoteIPv6>x</RemoteIPv6><MediaPort>1</MediaPort>"), false, "", 0},
        {"address closed by a longer name", Doc("<RemoteIP>203.0.113.7</RemoteIPv6><MediaPort>1</MediaPort>"), false, "",
         0},
        {"port closed by a longer name", Doc("<RemoteIP>x</RemoteIP><MediaPort>9000</MediaPortX>"), false, "", 0},
        {"self-closed address element", Doc("<RemoteIP a=\"1\"/>203.0.113.7</RemoteIP><MediaPort>1</MediaPort>"),
         false, "", 0},
        {"empty", "", false, "", 0},
    };
    for (const Case& c : cases) {
        const Parsed p = Id(c.text);
        EXPECT_EQ(p.ok, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(p.addr, c.addr) << c.name;
            EXPECT_EQ(p.port, c.port) << c.name;
        }
        std::vector<char> b(c.text.begin(), c.text.end());
        EXPECT_EQ(kv_resolve_id_reply_complete(b.data(), b.size()),
                  c.text.find("<response") != std::string::npos &&
                      c.text.find("</response>", c.text.find("<response")) != std::string::npos)
            << c.name;
    }
}

TEST(ResolveWire, DirectoryReplies)
{
    struct Case {
        const char* name;
        std::string text;
        bool complete, ok;
        const char* addr;
        uint16_t port;
    } cases[] = {
        {"both lines", "BMSP/0.3 200 OK\r\nIP: 203.0.113.7\r\nSTREAM_PORT: 9000\r\n\r\n", true, true, "203.0.113.7", 9000},
        {"port line first", "STREAM_PORT: 9000\r\nIP: 203.0.113.7\r\n", true, true, "203.0.113.7", 9000},
        {"port line unfinished", "IP: 203.0.113.7\r\nSTREAM_PORT: 9000", false, false, "", 0},
        {"address line unfinished", "STREAM_PORT: 9000\r\nIP: 203.0.113.7", false, false, "", 0},
        {"no address line", "STREAM_PORT: 9000\r\n\r\n", false, false, "", 0},
        {"address only inside another line", "XIP: 203.0.113.7\r\nSTREAM_PORT: 9000\r\n", false, false, "", 0},
        {"bad port", "IP: 203.0.113.7\r\nSTREAM_PORT: 0\r\n", true, false, "", 0},
        {"port too big", "IP: 203.0.113.7\r\nSTREAM_PORT: 99999\r\n", true, false, "", 0},
        {"port with a space", "IP: 203.0.113.7\r\nSTREAM_PORT: 90 00\r\n", true, false, "", 0},
        {"empty address", "IP: \r\nSTREAM_PORT: 9000\r\n", true, false, "", 0},
        {"long address", "IP: " + std::string(64, '1') + "\r\nSTREAM_PORT: 9000\r\n", true, false, "", 0},
        {"eight bytes", "IP: 2\r\nS", false, false, "", 0},
    };
    for (const Case& c : cases) {
        const Parsed p = Dir(c.text);
        std::vector<char> b(c.text.begin(), c.text.end());
        EXPECT_EQ(kv_resolve_dir_reply_complete(b.data(), b.size()), c.complete) << c.name;
        EXPECT_EQ(p.ok, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(p.addr, c.addr) << c.name;
            EXPECT_EQ(p.port, c.port) << c.name;
        }
    }
}

TEST(ResolveWire, RedirectReplies)
{
    const std::string head = "HTTP/1.1 302 Found\r\nServer: x\r\n";
    struct Case {
        const char* name;
        std::string text;
        bool complete, ok;
        const char* host;
    } cases[] = {
        {"host, port and path", head + "Location: http://198.51.100.4:8080/live/view\r\n\r\n", true, true, "198.51.100.4"},
        {"host and path", head + "Location: http://198.51.100.4/x\r\n", true, true, "198.51.100.4"},
        {"host only", head + "Location: http://cam.test\r\n", true, true, "cam.test"},
        {"lower-case name", head + "location: http://198.51.100.5:81/\r\n", true, true, "198.51.100.5"},
        {"upper-case name and scheme", head + "LOCATION:HTTP://198.51.100.6\r\n", true, true, "198.51.100.6"},
        {"user part", head + "Location: http://u:p@198.51.100.7:8/\r\n", true, true, "198.51.100.7"},
        {"query right after host", head + "Location: http://198.51.100.8?a=1\r\n", true, true, "198.51.100.8"},
        {"bracketed IPv6", head + "Location: http://[2001:db8::1]:80/\r\n", true, true, "2001:db8::1"},
        {"text after the brackets", head + "Location: http://[2001:db8::1]x:80/\r\n", true, false, ""},
        {"empty brackets", head + "Location: http://[]:80/\r\n", true, false, ""},
        {"https", head + "Location: https://198.51.100.4/\r\n", true, false, ""},
        {"no scheme", head + "Location: /other\r\n", true, false, ""},
        {"no Location header", head + "Content-Length: 0\r\n\r\n", true, false, ""},
        {"line unfinished", head + "Location: http://198.51.100.4/", false, false, ""},
        {"empty host", head + "Location: http:///x\r\n", true, false, ""},
        {"empty host before port", head + "Location: http://:80/\r\n", true, false, ""},
        {"Location inside a body", head + "\r\nLocation: http://198.51.100.4/\r\n", true, false, ""},
        {"header name with suffix", head + "Locationx: http://198.51.100.4/\r\n", false, false, ""},
        {"host of 64 characters", head + "Location: http://" + std::string(64, 'h') + "/\r\n", true, false, ""},
        {"nothing", "", false, false, ""},
    };
    for (const Case& c : cases) {
        const Parsed p = Redirect(c.text);
        std::vector<char> b(c.text.begin(), c.text.end());
        EXPECT_EQ(kv_resolve_redirect_reply_complete(b.data(), b.size()), c.complete) << c.name;
        EXPECT_EQ(p.ok, c.ok) << c.name;
        if (c.ok)
            EXPECT_EQ(p.addr, c.host) << c.name;
    }
}

TEST(ResolveWire, DirectoryHosts)
{
    const std::vector<std::string> defaults = kv_resolve_default_dir_hosts();
    ASSERT_EQ(defaults.size(), 8u);
    for (const std::string& h : defaults) {
        EXPECT_TRUE(DevConnection::IsBmspHost(h.c_str())) << h;
        const bool reserved = h.size() > 8 && (h.compare(h.size() - 8, 8, ".example") == 0 ||
                                               h.compare(h.size() - 5, 5, ".test") == 0);
        EXPECT_TRUE(reserved) << h;
        std::string upper = h;
        upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
        EXPECT_FALSE(DevConnection::IsBmspHost(upper.c_str())) << "case-sensitive: " << upper;
        EXPECT_FALSE(DevConnection::IsBmspHost((h + ".").c_str()));
    }
    EXPECT_FALSE(DevConnection::IsBmspHost(""));
    EXPECT_FALSE(DevConnection::IsBmspHost(nullptr));
    kv_resolve_set_dir_hosts({"198.51.100.1"});
    EXPECT_TRUE(DevConnection::IsBmspHost("198.51.100.1"));
    EXPECT_FALSE(DevConnection::IsBmspHost(defaults[0].c_str()));
    kv_resolve_set_dir_hosts({});
    EXPECT_TRUE(DevConnection::IsBmspHost(defaults[0].c_str()));
}
