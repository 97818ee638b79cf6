// What vandrel-cli says about a device node it may not open (POSIX): the group that owns it and how
// to join it.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "CliDeviceAccess.h"

namespace {

TEST(CliCommands, PermissionHintNamesTheDevicesGroup) {
    char path[] = "/tmp/vandrel-cli-hint-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct stat st {};
    ASSERT_EQ(::stat(path, &st), 0);
    const group* g = ::getgrgid(st.st_gid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    const std::string hint = PermissionHint(path);
    EXPECT_NE(hint.find(std::string("you lack permission to open ") + path), std::string::npos) << hint;
    EXPECT_NE(hint.find("belongs to the group '" + name + "'"), std::string::npos) << hint;
    EXPECT_NE(hint.find("sudo usermod -aG " + name + " $USER"), std::string::npos) << hint;
    EXPECT_NE(hint.find("\"Device access\" in 'man vandrel-cli'"), std::string::npos) << hint;
    ::unlink(path);
    EXPECT_EQ(PermissionHint(path), "") << "nothing to say about a device that is not there";
}

TEST(CliCommands, PortOpenAdviceOnlyForAccessDenied) {
    char path[] = "/tmp/vandrel-cli-advice-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const struct {
        unsigned error;
        bool advice;
    } cases[] = {{5, true}, {2, false}, {32, false}, {170, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(PortOpenAdvice(path, c.error), c.advice ? PermissionHint(path) : "") << c.error;
    }
    EXPECT_EQ(DeviceUseNote(path), "");
    ::unlink(path);
    EXPECT_EQ(DeviceUseNote(path), "  (missing)");
}

} // namespace
