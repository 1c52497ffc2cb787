// Error reporters, the socket-address formatter and the checked wrappers:
// each failure is one "ERROR:" line on standard error and exit status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "child.h"
#include "test_support.h"
#include "uba.h"

using ubatest::ChildResult;
using ubatest::InChild;

namespace {

// "ERROR:uba_wrap.cpp:<line>:" followed by rest: the wrappers that report
// with their own source line.
bool OwnLine(const std::string &err, const std::string &rest)
{
    const std::string head = "ERROR:uba_wrap.cpp:";
    if (err.rfind(head, 0) != 0) return false;
    size_t i = head.size(), j = i;
    while (j < err.size() && isdigit((unsigned char)err[j])) ++j;
    return j > i && err.compare(j, std::string::npos, ":" + rest) == 0;
}

// Reports print the base name of the source file and the line.
TEST(UbaReport, PrefixMessageAndStatus)
{
    ChildResult quiet = InChild([] {
        handle_error_func(0, "a/b/c.c", 12, "never %d", 1);
        printf("returned\n");
    });
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, "returned\n");

    ChildResult deep = InChild([] { handle_error_func(1, "a/b/c.c", 12, "bad %s=%d", "x", 7); });
    EXPECT_EQ(deep.status, 1);
    EXPECT_EQ(deep.err, "ERROR:c.c:12:bad x=7\n");

    ChildResult flat = InChild([] { handle_error_func(1, "plain.c", 3, "m"); });
    EXPECT_EQ(flat.err, "ERROR:plain.c:3:m\n");

    // A message that brings its own newline still makes one line.
    ChildResult nofile = InChild([] { handle_error_func(1, nullptr, 0, "Two bridges claim bus number %d\n", 4); });
    EXPECT_EQ(nofile.err, "ERROR:Two bridges claim bus number 4\n");

    ChildResult fatal = InChild([] { fatal_error_func("gone %x", 255u); });
    EXPECT_EQ(fatal.status, 1);
    EXPECT_EQ(fatal.err, "ERROR:gone ff\n");
}

TEST(UbaReport, StraddrStaysInsideItsBuffer)
{
    char buf[64];
    memset(buf, 'Z', sizeof buf);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_port = htons(5005);
    in.sin_addr.s_addr = htonl(0x7f000001);
    EXPECT_STREQ(straddr((struct sockaddr *)&in, sizeof in, buf), "inet:127.0.0.1:5005");

    // A path longer than the 50 characters is cut there, never beyond.
    struct sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    memset(un.sun_path, 'p', sizeof un.sun_path); // not even terminated
    memset(buf, 'Z', sizeof buf);
    straddr((struct sockaddr *)&un, sizeof un, buf);
    EXPECT_EQ(strlen(buf), 49u);
    EXPECT_EQ(std::string(buf, 5), "unix:");
    EXPECT_EQ(buf[50], 'Z');

    struct sockaddr sa = {};
    sa.sa_family = AF_APPLETALK;
    EXPECT_STREQ(straddr(&sa, sizeof sa, buf), ("family=" + std::to_string(AF_APPLETALK) + ":???").c_str());

    uint64_t a = uba_xget_usecs();
    EXPECT_NEAR(double(a), double(kpttest::RealNs() / 1000), 2e6);
}

TEST(UbaWrap, FailuresNameTheCallAndTheCount)
{
    kpttest::TempDir dir;
    std::string short_file = dir.file("short");
    std::ofstream(short_file) << "four";

    ChildResult rd = InChild([&] {
        int fd = uba_xopen(short_file.c_str(), O_RDONLY);
        char buf[10];
        uba_xfullread(fd, buf, sizeof buf);
    });
    EXPECT_EQ(rd.status, 1);
    EXPECT_TRUE(OwnLine(rd.err, "read(len=10),got=4,cc=0:premature end of data:Success\n")) << rd.err;

    ChildResult op = InChild([] { uba_xopen("/nonexistent/x", O_RDONLY); });
    EXPECT_EQ(op.err, "ERROR:open(/nonexistent/x,0x0):No such file or directory\n");

    // A send that does not take every byte is fatal with both counts.
    ChildResult sd = InChild([] {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        close(sv[1]);
        uba_xsend(sv[0], "0123456789", 10, MSG_NOSIGNAL);
    });
    EXPECT_EQ(sd.err, "ERROR:send:send(len=10)=-1:Broken pipe\n");

    ChildResult pr = InChild([&] {
        int fd = uba_xopen(short_file.c_str(), O_RDONLY);
        char buf[8];
        uba_xxfullpread("x/caller.c", 77, fd, buf, 8, 2);
    });
    EXPECT_EQ(pr.err.rfind("ERROR:caller.c:77:fullpread(8, 2)=2:", 0), 0u) << pr.err;

    ChildResult cr = InChild([&] {
        int fd = uba_xopen((dir.file("made")).c_str(), O_RDWR | O_CREAT, 0640);
        uba_xxwrite(__FILE__, __LINE__, fd, "abc", 3);
        struct stat st;
        fstat(fd, &st);
        printf("%o %lld\n", unsigned(st.st_mode & 0777), (long long)st.st_size);
    });
    EXPECT_EQ(cr.status, 0);
    EXPECT_EQ(cr.out, "640 3\n");
}

TEST(UbaWrap, SystempQuotesTheDirectoryAndNeverSearchesTheCurrentOne)
{
    kpttest::TempDir dir;
    // A program directory with a blank and a quote in its name.
    std::string pdir = dir.file("my 'tools'");
    ASSERT_EQ(mkdir(pdir.c_str(), 0700), 0);
    std::string script = pdir + "/kpt_probe_tool";
    std::ofstream(script) << "#!/bin/sh\necho ran-from-dir\n";
    chmod(script.c_str(), 0755);
    std::string cwd_script = dir.file("kpt_cwd_tool");
    std::ofstream(cwd_script) << "#!/bin/sh\necho ran-from-cwd\n";
    chmod(cwd_script.c_str(), 0755);

    ChildResult ok = InChild([&] {
        setenv("PATH", "/usr/bin:/bin", 1);
        uba_xxsystemp("t.c", 1, (pdir + "/argv0").c_str(), "kpt_probe_tool");
    });
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "ran-from-dir\n");

    // Without a directory in argv0 nothing is added: the current
    // directory is not searched.
    ChildResult cwd = InChild([&] {
        setenv("PATH", "/usr/bin:/bin", 1);
        if (chdir(dir.path().c_str()) != 0) _exit(9);
        uba_xxsystemp("t.c", 2, "argv0", "kpt_cwd_tool");
    });
    EXPECT_EQ(cwd.status, 1);
    EXPECT_EQ(cwd.out, "");
    EXPECT_NE(cwd.err.find("ERROR:t.c:2:system(kpt_cwd_tool):"), std::string::npos) << cwd.err;

    // What does not fit is refused, not cut.
    ChildResult longdir = InChild([] {
        std::string argv0 = "/" + std::string(300, 'd') + "/x";
        uba_xxsystemp("t.c", 3, argv0.c_str(), "true");
    });
    EXPECT_EQ(longdir.status, 1);
    EXPECT_EQ(longdir.err, "ERROR:t.c:3:systemp(true):program directory too long\n");
    ChildResult longcmd = InChild([] {
        std::string cmd = "true " + std::string(600, 'a');
        uba_xxsystemp("t.c", 4, "/bin/x", cmd.c_str());
    });
    EXPECT_EQ(longcmd.status, 1);
    EXPECT_NE(longcmd.err.find("command line too long"), std::string::npos);
}

TEST(UbaWrap, ExeclpPassesItsArgumentsOrReports)
{
    ChildResult run = InChild([] { uba_xexeclp("sh", "sh", "-c", "echo \"$0 $1 $2\"; exit 3", "a", "b", (char *)nullptr); });
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "a b \n");
    ChildResult missing = InChild([] { uba_xexeclp("/nonexistent/prog", "prog", (char *)nullptr); });
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(OwnLine(missing.err, "execlp(/nonexistent/prog):No such file or directory\n")) << missing.err;
}

}  // namespace

// The tools' option numbers and bridge addresses: read in the base the tool
// documents, or refused with one line that shows the word safely.
TEST(UbaArgs, NumbersAndBridgeAddresses)
{
    EXPECT_EQ(uba_number_arg('b', "12", 10, 0, 100, "a board number"), 12u);
    EXPECT_EQ(uba_number_arg('n', "0x10", 0, 1, 0x10000, "a count"), 16u);
    EXPECT_EQ(uba_number_arg('n', "010", 0, 1, 0x10000, "a count"), 8u);
    uba_bridge_addr a;
    uba_bridge_arg("bridge", 0, 127, &a);
    EXPECT_STREQ(a.host, "bridge");
    EXPECT_EQ(a.slot, 0);
    EXPECT_EQ(a.port, 0);
    uba_bridge_arg("127.0.0.1:0x10:127", 0, 127, &a);
    EXPECT_STREQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.slot, 16);
    EXPECT_EQ(a.port, 127);

    const std::pair<std::function<void()>, std::string> refused[] = {
        {[] { uba_number_arg('b', "0x10", 10, 0, 100, "a board number"); },
         "ERROR:Invalid number for -b: 0x10 (-b wants a board number from 0 to 100)\n"},
        {[] { uba_number_arg('n', "0", 0, 1, 9, "a count"); },
         "ERROR:Invalid number for -n: 0 (-n wants a count from 1 to 9)\n"},
        {[] { uba_number_arg('b', "-1", 10, 0, 100, "a board number"); },
         "ERROR:Invalid number for -b: -1 (-b wants a board number from 0 to 100)\n"},
        {[] { uba_number_arg('b', "1\n\x1b[2J\\", 10, 0, 100, "a board number"); },
         "ERROR:Invalid number for -b: 1\\x0a\\x1b[2J\\x5c (-b wants a board number from 0 to 100)\n"},
        {[] {
             uba_bridge_addr b;
             uba_bridge_arg(":1", 0, 127, &b);
         },
         "ERROR:Invalid bridge address for -g: :1 (-g wants host[:slot[:port]])\n"},
        {[] {
             uba_bridge_addr b;
             uba_bridge_arg(std::string(256, 'h').c_str(), 0, 127, &b);
         },
         "ERROR:Invalid bridge address for -g: " + std::string(249, 'h') + "..." +
             " (-g wants host[:slot[:port]])\n"},
        {[] {
             uba_bridge_addr b;
             uba_bridge_arg("h:1x", 0, 127, &b);
         },
         "ERROR:Invalid bridge address for -g: h:1x (-g slot is not a whole number from 0 to 2147483646)\n"},
        {[] {
             uba_bridge_addr b;
             uba_bridge_arg("h:1:128", 0, 127, &b);
         },
         "ERROR:Invalid bridge address for -g: h:1:128 (-g port is not a whole number from 0 to 127)\n"},
        {[] {
             uba_bridge_addr b;
             uba_bridge_arg("h:1:2:3", 0, 255, &b);
         },
         "ERROR:Invalid bridge address for -g: h:1:2:3 (-g port is not a whole number from 0 to 255)\n"},
    };
    for (const auto &[fn, want] : refused) {
        ChildResult r = InChild(fn);
        EXPECT_EQ(r.status, 1) << want;
        EXPECT_EQ(r.err, want);
    }
}
