// The file side of still pictures: folders made level by level, unique picture names
// within one millisecond, whole-or-nothing writes; the tunnel rule of the alarm-parameter
// send path on connection requests.
#include <gtest/gtest.h>

#include <set>

#include <unistd.h>

#include "stills_fixture.h"

using namespace kvstillstest;

TEST(StillFiles, MakeDirectoryPathCreatesMissingLevels)
{
    kvtest::TempDir dir("mkdir");
    const std::string base = dir.path();
    EXPECT_TRUE(kvstills::MakeDirectoryPath(base.c_str()));
    ASSERT_EQ(::mkdir((base + "/one").c_str(), 0777), 0);
    // Three levels with a trailing slash, only the first exists.
    EXPECT_TRUE(kvstills::MakeDirectoryPath((base + "/one/two/three/").c_str()));
    EXPECT_TRUE(Exists(base + "/one/two/three"));
    EXPECT_TRUE(kvstills::MakeDirectoryPath((base + "/x//y///").c_str()));
    EXPECT_TRUE(Exists(base + "/x/y"));
    // A file in the way.
    ASSERT_TRUE(kvtest::WriteFile(base + "/file", "a", 1));
    EXPECT_FALSE(kvstills::MakeDirectoryPath((base + "/file/sub").c_str()));
    EXPECT_FALSE(kvstills::MakeDirectoryPath(""));
    EXPECT_FALSE(kvstills::MakeDirectoryPath(nullptr));
    EXPECT_TRUE(kvstills::MakeDirectoryPath("/"));
}

TEST(StillFiles, PicturesOfOneMillisecondGetNamesOfTheirOwn)
{
    kvtest::TempDir dir("unique");
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        std::string name;
        const int fd = kvstills::CreateUniqueFile(dir.path(), ".jpg", &name);
        ASSERT_GE(fd, 0);
        ::close(fd);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".jpg");
    }
    EXPECT_EQ(ListDir(dir.path()).size(), 50u);
    std::string name;
    EXPECT_LT(kvstills::CreateUniqueFile(dir.path() + "/missing", ".png", &name), 0);
}

TEST(StillFiles, WholeOrNothing)
{
    kvtest::TempDir dir("whole");
    const std::string data(100000, 'q');
    EXPECT_TRUE(kvstills::WriteFileWhole(dir.File("a.jpg"), reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    EXPECT_EQ(kvtest::ReadFile(dir.File("a.jpg")), data);
    EXPECT_FALSE(kvstills::WriteFileWhole(dir.path() + "/no/such/b.jpg", reinterpret_cast<const uint8_t*>(data.data()),
                                          data.size()));
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.jpg"});
}

TEST(StillFiles, TunnelRuleOnConnectionRequests)
{
    struct Case {
        int type;
        const char* addr;
        const char* idServer;
        bool tunnelled;
    } cases[] = {
        {0, "198.51.100.7", nullptr, false},   // a direct address
        {0, "198.51.100.7", "ids.example", false},
        {1, "DEV123", nullptr, true},           // a device ID, no ID server
        {1, "DEV123", "", true},
        {1, "DEV123", "ids.example", false},
        {10, "DEV123", "ids.example", false},
        {11, "DEV123", nullptr, true},
        {23, "DEV123", nullptr, false},         // the address is the ID-server host
        {5, "DEV123", "ids.example", true},     // the server host is not used by this type
        {1, "", nullptr, false},                // no device ID
        {1, nullptr, nullptr, false},
    };
    for (auto& c : cases) {
        KVNetConnectionParam p{};
        p.nLoginType = c.type;
        p.szAddr = c.addr;
        p.szIDServer = c.idServer;
        EXPECT_EQ(kvstills::TunnelledRequest(p), c.tunnelled) << c.type << " " << (c.addr ? c.addr : "null");
    }
}
