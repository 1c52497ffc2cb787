// Parameter resolution: precedence of caller, environment and defaults,
// conversions and checks, ring sizes, the debug file and the PARAM report.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "kpt_internal.h"
#include "lib_state.h"
#include "test_support.h"

namespace {

constexpr uint64_t MiB = 0x100000;

std::string TidCol()
{
    char b[32];
    snprintf(b, sizeof b, "%5u", unsigned(gettid()));
    return b;
}

using kpttest::Lines;

kpt_param_keyval Kv(kpt_param_key k, uint64_t v)
{
    kpt_param_keyval kv;
    memset(&kv, 0, sizeof kv);
    kv.key = k;
    kv.val.data_ring_size = v;
    return kv;
}

kpt_param_keyval KvPtr(kpt_param_key k, const void *ptr)
{
    kpt_param_keyval kv = Kv(k, 0);
    kv.val.rss_context = const_cast<void *>(ptr);
    return kv;
}

struct ReportRow {
    std::string source, name, value;
};

// Rows "(%7s) %24s = %-40s" of the lines that start with prefix.
std::vector<ReportRow> ReportRows(const std::vector<std::string> &lines, const std::string &prefix)
{
    auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(' '));
        s.erase(s.find_last_not_of(' ') + 1);
        return s;
    };
    std::vector<ReportRow> rows;
    for (const auto &l : lines) {
        if (l.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string r = l.substr(prefix.size());
        if (r.size() < 77 || r[0] != '(' || r.compare(8, 2, ") ") != 0 || r.compare(34, 3, " = ") != 0)
            continue;
        rows.push_back({trim(r.substr(1, 7)), trim(r.substr(10, 24)), trim(r.substr(37))});
    }
    return rows;
}

// A clean environment and zeroed blocks, as the open calls pass them.
class Params : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : uparam_strings) unsetenv(name);
        memset(&drv_, 0xa5, sizeof drv_);
    }
    int Resolve(const std::vector<kpt_param_keyval> &kv = {}, bool rx = true)
    {
        return kpt__api_params(&p_, rx ? &drv_ : nullptr, kv.data(), int(kv.size()), &bad_);
    }

    kpt__params p_ = {};
    quor_kpt_rx_params_t drv_;
    int bad_ = -7;
    kpttest::TempDir dir_;
};

// ---- sources, precedence, conversions ----

TEST_F(Params, DefaultsFillBothBlocksQuietly)
{
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(cap.Finish(), "");
    EXPECT_EQ(p_.debug_mask, 1u);
    EXPECT_EQ(p_.ring_id, -1);
    EXPECT_EQ(p_.debug_fp, stderr);
    EXPECT_STREQ(p_.debug_filename, "stderr");
    EXPECT_EQ(drv_.num_rings, 1u);
    EXPECT_EQ(drv_.rss_flags, 0x31u);
    EXPECT_EQ(drv_.open_flags, 0u);
    EXPECT_EQ(drv_.app_id, -1);
}

TEST_F(Params, CallerBeatsEnvironmentBeatsDefault)
{
    setenv("KPT_NUM_RINGS", "4", 1);
    setenv("KPT_RING_ID", "abc", 1); // never read: the caller sets the ring id
    setenv("KPT_PORTNUM", " 12abc", 1);
    setenv("KPT_FLAGS", "0x10", 1);
    setenv("KPT_RSS_FLAGS", "010", 1);
    setenv("KPT_APP_ID", "", 1); // empty text counts as unset
    setenv("KPT_RSS_FUNC_PTR", "0x1234", 1); // pointers never come from text
    setenv("KPT_RSS_FUNC_CONTEXT", "0x5678", 1);
    ASSERT_EQ(Resolve({Kv(KPT_PARAM_NUM_RINGS, 8), Kv(KPT_PARAM_RING_ID, 5),
                       Kv(KPT_PARAM_NUM_RINGS, 16)}),
              0);
    EXPECT_EQ(drv_.num_rings, 8u); // the first record of a key wins
    EXPECT_EQ(p_.ring_id, 5);
    EXPECT_EQ(p_.portnum, 12u);
    EXPECT_EQ(drv_.open_flags, 16u);
    EXPECT_EQ(drv_.rss_flags, 8u);
    EXPECT_EQ(drv_.app_id, -1);
    EXPECT_EQ(p_.rss_hash_fn, nullptr);
    EXPECT_EQ(p_.rss_context, nullptr);
}

TEST(ParamConvert, RangesAndErrno)
{
    uint32_t u = 7;
    int32_t s = 7;
    uint64_t q = 7;
    errno = EBADF;
    EXPECT_EQ(kpt__strtoul("-1", &u), 0);
    EXPECT_EQ(u, 0xffffffffu);
    EXPECT_EQ(errno, EBADF); // left alone on success
    EXPECT_EQ(kpt__strtoul("0x100000000", &u), ERANGE);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(kpt__strtoul("", &u), ERANGE);
    EXPECT_EQ(u, 0xffffffffu); // unchanged by failures
    EXPECT_EQ(kpt__strtol("-2147483648", &s), 0);
    EXPECT_EQ(kpt__strtol("2147483648", &s), ERANGE);
    EXPECT_EQ(kpt__strtoull("18446744073709551615", &q), 0);
    EXPECT_EQ(kpt__strtoull("18446744073709551616", &q), ERANGE);
}

// ---- ring sizes ----

struct RingCase {
    const char *label, *data_env;
    uint64_t data, desc;
};

void PrintTo(const RingCase &c, std::ostream *os) { *os << c.data_env; }

class RingSizes : public Params, public ::testing::WithParamInterface<RingCase> {};

TEST_P(RingSizes, DescriptorRingFollowsDataRing)
{
    setenv("KPT_DATARING_SIZE", GetParam().data_env, 1);
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(drv_.rx_data_ring_size, GetParam().data);
    EXPECT_EQ(drv_.rx_desc_ring_size, GetParam().desc);
}

INSTANTIATE_TEST_SUITE_P(
    Params, RingSizes,
    ::testing::Values(RingCase{"mib", "512", 0x20000000, 256 * MiB},
                      RingCase{"bytes", "3000000", 4 * MiB, 2 * MiB},
                      RingCase{"zero", "0", 2 * MiB, 2 * MiB},
                      RingCase{"largest_mib", "0xffffe", 0xffffe * MiB, 0x80000 * MiB},
                      RingCase{"smallest_bytes", "0x100000", 2 * MiB, 2 * MiB}),
    [](const auto &i) { return std::string(i.param.label); });

TEST_F(Params, DescriptorRingSizedByEnvironmentOrCallerIsKept)
{
    setenv("KPT_DATARING_SIZE", "512", 1);
    setenv("KPT_DESCRING_SIZE", "64", 1);
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(drv_.rx_desc_ring_size, 64 * MiB);

    unsetenv("KPT_DESCRING_SIZE");
    ASSERT_EQ(Resolve({Kv(KPT_PARAM_DESCRING_SIZE, 3000000)}), 0);
    EXPECT_EQ(drv_.rx_desc_ring_size, 4 * MiB);

    unsetenv("KPT_DATARING_SIZE");
    ASSERT_EQ(Resolve({Kv(KPT_PARAM_DATARING_SIZE, 3)}), 0);
    EXPECT_EQ(drv_.rx_data_ring_size, 4 * MiB);
    EXPECT_EQ(drv_.rx_desc_ring_size, 2 * MiB);

    // A size that cannot be rounded up is out of range, not wrapped to zero.
    setenv("KPT_DATARING_SIZE", "0xffffffffffffffff", 1);
    EXPECT_EQ(Resolve(), ERANGE);
}

// ---- debug mask and failures ----

TEST_F(Params, WarnIsAlwaysInTheMask)
{
    setenv("KPT_DEBUG_MASK", "0", 1);
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(p_.debug_mask, 1u);

    setenv("KPT_DEBUG_MASK", "0x7c", 1); // no PARAM: nothing printed
    kpttest::StderrCapture quiet;
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(quiet.Finish(), "");
    EXPECT_EQ(p_.debug_mask, 0x7du);

    setenv("KPT_DEBUG_MASK", "0x12", 1);
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve(), 0);
    const auto lines = Lines(cap.Finish());
    EXPECT_EQ(p_.debug_mask, 0x13u);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[10], TidCol() + " kpt.0.-1 P KPT_DEBUG_MASK=0x13 for modes WARN=0x1, PARAM=0x2, "
                                    "QSTATS=0x4, TIMESYNC=0x8, IOCTL=0x10  QEVENTS=0x20  ARISTA=0x40  ");
}

struct EnvFailure {
    const char *label, *name, *value;
    int rc;
};

void PrintTo(const EnvFailure &c, std::ostream *os) { *os << c.name << '=' << c.value; }

class EnvFailures : public Params, public ::testing::WithParamInterface<EnvFailure> {};

TEST_P(EnvFailures, StopResolution)
{
    setenv(GetParam().name, GetParam().value, 1);
    setenv("KPT_DEBUG_MASK", "2", 1); // a finished resolution would report
    errno = EBADF;
    kpttest::StderrCapture cap;
    EXPECT_EQ(Resolve(), GetParam().rc);
    EXPECT_EQ(cap.Finish(), "");
    EXPECT_EQ(errno, GetParam().rc == ERANGE ? 0 : EBADF);
    EXPECT_EQ(bad_, -7); // only caller records are pointed at
}

INSTANTIATE_TEST_SUITE_P(
    Params, EnvFailures,
    ::testing::Values(EnvFailure{"ring_id_text", "KPT_RING_ID", "abc", ERANGE},
                      EnvFailure{"ring_id_32", "KPT_RING_ID", "32", EINVAL},
                      EnvFailure{"ring_id_wide", "KPT_RING_ID", "0x80000000", ERANGE},
                      EnvFailure{"num_rings_33", "KPT_NUM_RINGS", "33", EINVAL},
                      EnvFailure{"portnum_wide", "KPT_PORTNUM", "99999999999", ERANGE},
                      EnvFailure{"descring_sign", "KPT_DESCRING_SIZE", "-", ERANGE},
                      EnvFailure{"app_id_minus1", "KPT_APP_ID", "-1", EINVAL}),
    [](const auto &i) { return std::string(i.param.label); });

TEST_F(Params, LimitsThemselvesAreAccepted)
{
    setenv("KPT_RING_ID", "31", 1);
    setenv("KPT_NUM_RINGS", "32", 1);
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(p_.ring_id, 31);
    EXPECT_EQ(drv_.num_rings, 32u);
}

TEST_F(Params, BadCallerRecordIsPointedAt)
{
    EXPECT_EQ(Resolve({Kv(KPT_PARAM_PORTNUM, 1), KvPtr(KPT_PARAM_RSS_FUNC_PTR, nullptr),
                       Kv(KPT_PARAM_RING_ID, 2), KvPtr(KPT_PARAM_RSS_FUNC_PTR, nullptr)}),
              EINVAL);
    EXPECT_EQ(bad_, 3); // the last record with the failing key
    EXPECT_EQ(Resolve({Kv(KPT_PARAM_PORTNUM, 1), KvPtr(KPT_PARAM_DEBUG_FILENAME, nullptr)}), EINVAL);
    EXPECT_EQ(bad_, 1);
    EXPECT_EQ(Resolve({Kv(KPT_PARAM_RING_ID, 32)}), EINVAL);
    EXPECT_EQ(bad_, 0);
    EXPECT_EQ(Resolve({Kv(KPT_PARAM_FLAGS, 0), Kv(KPT_PARAM_NUM_RINGS, 33)}), EINVAL);
    EXPECT_EQ(bad_, 1);
}

TEST_F(Params, ReceiveRowsAreSkippedWithoutAReceiveBlock)
{
    setenv("KPT_NUM_RINGS", "abc", 1);
    setenv("KPT_APP_ID", "-1", 1);
    setenv("KPT_DATARING_SIZE", "0xffffffffffffffff", 1);
    setenv("KPT_PORTNUM", "4", 1);
    ASSERT_EQ(Resolve({}, false), 0);
    EXPECT_EQ(p_.portnum, 4u);
    setenv("KPT_RING_ID", "abc", 1);
    EXPECT_EQ(Resolve({}, false), ERANGE);
}

// ---- the PARAM report ----

TEST_F(Params, ReportWithDefaults)
{
    setenv("KPT_DEBUG_MASK", "2", 1);
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve(), 0);
    const auto lines = Lines(cap.Finish());
    const std::string prefix = TidCol() + " kpt.0.-1 P ";
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], prefix + "(default)              KPT_PORTNUM = 0" + std::string(39, ' '));
    EXPECT_EQ(lines[4], prefix + "(default)        KPT_DATARING_SIZE = "
                                 "268435456 (0x10000000) (256.0 MiB)      ");
    EXPECT_EQ(lines[10], prefix + "KPT_DEBUG_MASK=0x3 for modes WARN=0x1, PARAM=0x2  QSTATS=0x4  "
                                  "TIMESYNC=0x8  IOCTL=0x10  QEVENTS=0x20  ARISTA=0x40  ");

    const std::vector<ReportRow> want = {
        {"default", "KPT_PORTNUM", "0"},
        {"default", "KPT_RING_ID", "-1 (0xffffffff)"},
        {"default", "KPT_NUM_RINGS", "1 (0x1)"},
        {"default", "KPT_RSS_FLAGS", "49 (0x31)"},
        {"default", "KPT_DATARING_SIZE", "268435456 (0x10000000) (256.0 MiB)"},
        {"default", "KPT_DESCRING_SIZE", "134217728 (0x8000000) (128.0 MiB)"},
        {"default", "KPT_FLAGS", "0"},
        {"environ", "KPT_DEBUG_MASK", "3 (0x3)"},
        {"default", "KPT_DEBUG_FILENAME", "stderr"},
        {"default", "KPT_APP_ID", "-1 (0xffffffff)"},
    };
    const auto rows = ReportRows(lines, prefix);
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(rows[i].source, want[i].source) << i;
        EXPECT_EQ(rows[i].name, want[i].name) << i;
        EXPECT_EQ(rows[i].value, want[i].value) << i;
    }
}

TEST_F(Params, ReportShowsCallerValuesAndSizesInForce)
{
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve({Kv(KPT_PARAM_DEBUG_MASK, 0x42), Kv(KPT_PARAM_PORTNUM, 12),
                       Kv(KPT_PARAM_DATARING_SIZE, 3000000)}),
              0);
    const auto lines = Lines(cap.Finish());
    const std::string prefix = TidCol() + " kpt.<.-1 P ";
    const auto rows = ReportRows(lines, prefix);
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[0].source + " " + rows[0].value, "userset 12 (0xc)");
    EXPECT_EQ(rows[4].source + " " + rows[4].value, "userset 4194304 (0x400000) (4.0 MiB)");
    EXPECT_EQ(rows[5].source + " " + rows[5].value, "default 2097152 (0x200000) (2.0 MiB)");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[10], prefix + "KPT_DEBUG_MASK=0x43 for modes WARN=0x1, PARAM=0x2, QSTATS=0x4, "
                                  "TIMESYNC=0x8, IOCTL=0x10, QEVENTS=0x20, ARISTA=0x40  ");
}

TEST(ParamFormat, Values)
{
    char buf[64];
    uparam_val v;
    memset(&v, 0, sizeof v);
    auto fmt = [&](uparam_type t, size_t len = sizeof buf) {
        kpt__snptype(buf, len, t, &v);
        return std::string(buf);
    };
    EXPECT_EQ(fmt(T_U64), "0");
    v.u_val_u64 = 0x100000; // not above 1 MiB: no MiB column
    EXPECT_EQ(fmt(T_U64), "1048576 (0x100000)");
    v.u_val_u64 = 0x100001;
    EXPECT_EQ(fmt(T_U64), "1048577 (0x100001) (1.0 MiB)");
    v.u_val_u64 = UINT64_MAX; // text already too long for the MiB column
    EXPECT_EQ(fmt(T_U64), "18446744073709551615 (0xffffffffffffffff)");
    EXPECT_EQ(fmt(T_U64, 8), "1844674");
    v.u_val_u64 = 0;
    v.u_val_s32 = -2;
    EXPECT_EQ(fmt(T_S32), "-2 (0xfffffffe)");
    const std::string longname(100, 'n');
    v.u_val_str = longname.c_str();
    EXPECT_EQ(fmt(T_STR), longname.substr(0, 63));
}

// ---- debug file ----

TEST_F(Params, DebugFileAppendsWithPlusAndReportGoesThere)
{
    const std::string path = dir_.file("dbg");
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("earlier\n", f);
    fclose(f);

    const std::string name = "+" + path;
    setenv("KPT_DEBUG_FILENAME", name.c_str(), 1);
    setenv("KPT_DEBUG_MASK", "2", 1);
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(cap.Finish(), "");
    EXPECT_STREQ(p_.debug_filename, name.c_str());

    const auto lines = Lines(kpttest::ReadFile(path)); // line-buffered: already there
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "earlier");
    const auto rows = ReportRows(lines, TidCol() + " kpt.0.-1 P ");
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[8].source + " " + rows[8].name + " " + rows[8].value,
              "environ KPT_DEBUG_FILENAME " + name);

    // Without "+" the file is truncated; "stdout" names standard output.
    unsetenv("KPT_DEBUG_MASK");
    ASSERT_EQ(Resolve({KvPtr(KPT_PARAM_DEBUG_FILENAME, path.c_str())}), 0);
    EXPECT_EQ(kpttest::ReadFile(path), "");
    ASSERT_EQ(Resolve({KvPtr(KPT_PARAM_DEBUG_FILENAME, "stdout")}), 0);
    EXPECT_EQ(p_.debug_fp, stdout);
}

TEST_F(Params, UnopenableDebugFileLeavesOnlyWarn)
{
    const std::string path = dir_.file("missing/dbg");
    setenv("KPT_DEBUG_FILENAME", path.c_str(), 1);
    setenv("KPT_DEBUG_MASK", "0x12", 1);
    kpttest::StderrCapture cap;
    ASSERT_EQ(Resolve(), 0);
    EXPECT_EQ(cap.Finish(), "Can't open '" + path +
                                "', forcing DEBUG_MASK to 0x1 (errno=2: No such file or directory)\n");
    EXPECT_EQ(p_.debug_mask, 1u);
    EXPECT_EQ(p_.debug_fp, stderr);
    EXPECT_EQ(drv_.app_id, -1); // later rows still applied
}

TEST_F(Params, FailedReopenKeepsThePreviousFile)
{
    const std::string a = dir_.file("a");
    ASSERT_EQ(kpt__debugfile_reopen(&p_, a.c_str()), 0);
    FILE *fa = p_.debug_fp;
    p_.debug_mask = 0x3;

    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt__debugfile_reopen(&p_, ("+" + dir_.file("no/such")).c_str()), ENOENT);
    EXPECT_NE(cap.Finish().find("Can't open '" + dir_.file("no/such") + "'"), std::string::npos);
    EXPECT_EQ(p_.debug_fp, fa);
    EXPECT_STREQ(p_.debug_filename, a.c_str());
    EXPECT_EQ(p_.debug_mask, 1u);
    KPT_LOG_E(&p_, "still here\n"); // the old stream is still open
    EXPECT_EQ(kpttest::ReadFile(a), TidCol() + " kpt.0.0  E still here\n");

    // A name that does not fit is refused, never opened truncated.
    const std::string dir = dir_.path() + "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string longpath = dir + "/" + std::string(40, 'f');
    kpttest::StderrCapture cap2;
    EXPECT_EQ(kpt__debugfile_reopen(&p_, longpath.c_str()), ENAMETOOLONG);
    EXPECT_NE(cap2.Finish().find("Can't open '" + longpath + "'"), std::string::npos);
    EXPECT_EQ(access(longpath.substr(0, sizeof p_.debug_file_buf - 1).c_str(), F_OK), -1);
    EXPECT_EQ(p_.debug_fp, fa);

    kpt__params copy;
    kpt__params_copy(&copy, &p_);
    memset(p_.debug_file_buf, 0, sizeof p_.debug_file_buf);
    EXPECT_STREQ(copy.debug_filename, a.c_str());
    fclose(fa);
}

} // namespace
