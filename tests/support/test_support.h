// test_support.h - helpers shared by the test suites.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorsim.h"

namespace kpttest {

// Runs f with standard output captured, and returns what it printed.
template <class F> std::string Stdout(F f)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A private temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs an in-process simulator on a private device directory and points
// ZAL_DEV_DIR at it.  Tests derive from it and call StartSim() (optionally
// after adjusting opts) in their body or SetUp().
class SimTest : public ::testing::Test {
protected:
    void TearDown() override;
    // Starts the simulator with opts (dir filled in).  Fails the test on error.
    void StartSim();
    // Runs a control command and expects it to succeed; returns its reply.
    std::string Ctl(const std::string &line);

    TempDir dev_;
    quorsim::Options opts_;
    std::unique_ptr<quorsim::Simulator> sim_;
};

// Result of a child process.
struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// Waits for child pid to end, at most timeout_ms, then kills it (SIGKILL)
// and waits; its exit status, or 128 + signal number.
int WaitChild(pid_t pid, int timeout_ms);

// The lines of a text, without their newlines.
std::vector<std::string> Lines(const std::string &text);

// Path of a built program (bin directory of the build).
std::string BinPath(const std::string &name);

// Runs argv[0] (a path) with extra environment settings ("NAME=value"),
// waits at most timeout_ms, and returns its exit status and output.
RunResult RunProgram(const std::vector<std::string> &argv,
              const std::vector<std::string> &env = {}, int timeout_ms = 60000);

// A quor_simd child process on a device directory; started by the
// constructor (which waits for its ready line), stopped by SIGTERM on
// destruction.
class SimdProcess {
public:
    explicit SimdProcess(const std::string &dir,
                         const std::vector<std::string> &args = {});
    ~SimdProcess();
    bool ready() const { return ready_; }
    int pid() const { return pid_; }
    const std::string &ready_line() const { return ready_line_; }
    // Sends SIGTERM and waits; returns the exit status (128 + signal on a signal).
    int Stop();

private:
    int pid_ = -1;
    bool ready_ = false;
    std::string ready_line_;
};

// Captures what the process writes to stderr (fd 2, or another descriptor)
// between construction and Finish(); used for library messages.
class StderrCapture {
public:
    explicit StderrCapture(int fd = 2);
    ~StderrCapture();
    std::string Finish();

private:
    int fd_ = 2;
    int saved_ = -1;
    std::string path_;
    bool done_ = false;
};

// Moves the calling process into a private network namespace with its
// loopback up, so that interfaces a test creates are seen by it alone.
// False (with the reason in *why) when that is not possible, e.g. without
// root; callers skip the test then.
bool EnterPrivateNetns(std::string *why);

// CLOCK_REALTIME and CLOCK_MONOTONIC in nanoseconds.
int64_t RealNs();
int64_t MonoNs();

// Reads a whole file; empty string when it cannot be read.
std::string ReadFile(const std::string &path);

// How many times slower than the plain build this one runs its threads:
// rates and counts of traffic tests that need a reader to keep up are
// divided by it.  Only ThreadSanitizer slows a reader that much.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 8;
#else
constexpr int kSlowdown = 1;
#endif

// Number of descriptors the process has open.
int OpenFds();

// Number of mappings of simulated units' shared memory the process holds
// (the simulator's own included).
int ArenaMappings();
// The count once it is back to want, or after 3 s the count as it stands: the
// in-process simulator maps client regions too and lets go of them only when it
// sees the client's connection close.
int ArenaMappingsSettled(int want);

}  // namespace kpttest
