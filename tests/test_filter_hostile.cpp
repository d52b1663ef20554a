// Hostile and broken input through the filter binary. Every case must end
// with a defined status, a diagnostic line saying what happened, no crash or
// hang, and a printer stream whose every record is complete.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

struct HostileCase {
    const char* name;
    std::function<void(FilterOptions&)> setup;  // prepares files and options
    int status;                                 // expected exit status
    const char* line;                           // a diagnostic line that must appear
    int pages;                                  // page records expected, -1: any
};

void Reset()
{
    ASSERT_EQ(0, system("rm -rf /tmp/velmarsh /tmp/auth /tmp/h /tmp/enc; umount /tmp/velmarsh 2>/dev/null; "
                        "rm -rf /tmp/velmarsh; mkdir -p /tmp/h"));
}

void Raster(FilterOptions& o, std::vector<TestPage> pages, size_t cut = 0)
{
    ASSERT_TRUE(WriteRasterFile("/tmp/h/in.ras", pages, cut));
    o.input = "/tmp/h/in.ras";
}

TestPage Page(int w = 300, int h = 200, uint32_t seed = 1)
{
    return PatternPage(w, h, seed);
}

void Auth(const std::string& shellSetup)
{
    ASSERT_EQ(0, system(("mkdir -p /tmp/auth && " + shellSetup).c_str())) << shellSetup;
}

std::string Encoder(const std::string& body)
{
    return FakeEncoderPath("/tmp/enc", body);
}

std::vector<HostileCase> Cases()
{
    return {
        // Raster input.
        {"zero height header", [](FilterOptions& o) { TestPage p = Page(); p.height = 0; Raster(o, {p}); },
         0, "DEBUG: First page header is null", 0},
        {"huge page", [](FilterOptions& o) { TestPage p = Page(8, 1); p.width = 1000000; p.bytesPerLine = 125000;
                                             p.height = 1000000; Raster(o, {p}); },
         1, "ERROR: Raster page 1 cannot be printed", 0},
        {"huge height", [](FilterOptions& o) { TestPage p = Page(8, 1); p.height = (int)4000000000u; Raster(o, {p}); },
         1, "ERROR: Raster page 1 cannot be printed", 0},
        {"bytes per line too small", [](FilterOptions& o) { TestPage p = Page(); p.bytesPerLine = 10; Raster(o, {p}); },
         1, "ERROR: Raster page 1 cannot be printed", 0},
        {"8 bits per pixel", [](FilterOptions& o) { TestPage p = Page(); p.bitsPerPixel = 8; p.bytesPerLine = 300;
                                                    Raster(o, {p}); },
         1, "ERROR: Raster page 1 cannot be printed", 0},
        {"bad second page", [](FilterOptions& o) { TestPage p = Page(); p.bitsPerPixel = 8; p.bytesPerLine = 300;
                                                   Raster(o, {Page(), p}); },
         255, "ERROR: Raster page 2 cannot be printed", 1},
        {"page cut short", [](FilterOptions& o) { Raster(o, {Page(), Page()}, 3000); },
         0, "INFO: Printing page 2", 2},
        {"garbage stream", [](FilterOptions& o) { WriteFile("/tmp/h/in.ras", std::string(5000, '\x5a'));
                                                  o.input = "/tmp/h/in.ras"; },
         0, "DEBUG: First page header is null", 0},
        // PPD.
        {"missing PPD", [](FilterOptions& o) { Raster(o, {Page()}); o.env = {{"PPD", "/tmp/h/none.ppd"}}; },
         1, "ERROR: Unable to open PPD file!", 0},
        {"empty PPD", [](FilterOptions& o) { Raster(o, {Page()}); WriteFile("/tmp/h/e.ppd", "");
                                             o.env = {{"PPD", "/tmp/h/e.ppd"}}; },
         1, "ERROR: Unable to open PPD file!", 0},
        {"binary PPD", [](FilterOptions& o) { Raster(o, {Page()}); system("head -c 100000 /dev/urandom > /tmp/h/b.ppd");
                                              o.env = {{"PPD", "/tmp/h/b.ppd"}}; },
         1, "ERROR: Unable to open PPD file!", 0},
        {"huge PPD", [](FilterOptions& o) {
             Raster(o, {Page()});
             std::string ppd = ReadFile(ProductPpd());
             for (int i = 0; i < 20000; i++)
                 ppd += "*% filler comment line to make the file large, number " + std::to_string(i) + "\n";
             WriteFile("/tmp/h/big.ppd", ppd);
             o.env = {{"PPD", "/tmp/h/big.ppd"}}; },
         0, "DEBUG: job_params=", 1},
        {"directory as PPD", [](FilterOptions& o) { Raster(o, {Page()}); o.env = {{"PPD", "/tmp/h"}}; },
         1, "ERROR: Unable to open PPD file!", 0},
        // Option texts and titles.
        {"options with separators and controls", [](FilterOptions& o) {
             Raster(o, {Page()});
             o.args[4] = std::string("a=b,c=d  ==, =\t\x01\x7f\n\r PageSize=A4\x1b[2J Duplex=") + std::string(4000, '=');
             o.args[2] = std::string("/x/\x07\x08title.pdf\n\nwith lines"); },
         0, "DEBUG: job_params_size=", 1},
        {"very long everything", [](FilterOptions& o) {
             Raster(o, {Page()});
             std::string big(60000, 'Q');
             o.args[4] = "PageSize=" + big + " " + big;
             o.args[2] = big + "." + big;
             o.args[1] = "LoginName" + big; },
         0, "DEBUG: job_params_size=", 1},
        // Authentication file.
        {"huge auth file", [](FilterOptions& o) { Raster(o, {Page()});
             Auth("head -c 3000000 /dev/zero | tr '\\0' ' ' > /tmp/auth/auth_config"); },
         0, "DEBUG: Enter getAuthInfo!", 1},
        {"auth FIFO", [](FilterOptions& o) { Raster(o, {Page()}); Auth("mkfifo /tmp/auth/auth_config"); },
         0, "DEBUG: Enter getAuthInfo!", 1},
        {"auth directory", [](FilterOptions& o) { Raster(o, {Page()}); Auth("mkdir /tmp/auth/auth_config"); },
         0, "DEBUG: Enter getAuthInfo!", 1},
        {"auth symlink", [](FilterOptions& o) { Raster(o, {Page()});
             Auth("echo '{\"AuthID\":\"x\"}' > /tmp/h/real && ln -s /tmp/h/real /tmp/auth/auth_config"); },
         0, "DEBUG: Enter getAuthInfo!", 1},
        {"auth deeply nested", [](FilterOptions& o) { Raster(o, {Page()});
             Auth("(head -c 30000 /dev/zero | tr '\\0' '['; head -c 30000 /dev/zero | tr '\\0' ']') "
                  "> /tmp/auth/auth_config"); },
         0, "DEBUG: Enter getAuthInfo!", 1},
        {"auth not UTF-8", [](FilterOptions& o) { Raster(o, {Page()});
             Auth("printf '{\"AuthID\":\"\\377\\376\\n\",\"Password\":\"\\300\\r\"}' > /tmp/auth/auth_config"); },
         0, "DEBUG: Exit  getAuthInfo!", 1},
        // The encoder.
        {"encoder missing", [](FilterOptions& o) { Raster(o, {Page()}); o.env.push_back({"PATH", "/tmp/h"}); },
         255, "ERROR: ", 0},
        {"encoder fails", [](FilterOptions& o) { Raster(o, {Page()}); o.env.push_back({"PATH", Encoder("exit 1")}); },
         255, "ERROR: ", 0},
        {"encoder hangs briefly", [](FilterOptions& o) { Raster(o, {Page()});
             o.env.push_back({"PATH", Encoder("sleep 2; exec /usr/bin/pbmtojbg \"$@\"")}); },
         0, "DEBUG: page 1 jbg file size", 1},
        {"encoder writes nothing", [](FilterOptions& o) { Raster(o, {Page()});
             o.env.push_back({"PATH", Encoder("exit 0")}); },
         255, "ERROR: ", 0},
        {"encoder writes garbage", [](FilterOptions& o) { Raster(o, {Page(), Page()});
             o.env.push_back({"PATH", Encoder("head -c 777 /dev/urandom > \"${16}\"")}); },
         0, "DEBUG: page 2 jbg file size: 777 ", 2},
        {"encoder fails after writing part of a page", [](FilterOptions& o) { Raster(o, {Page(), Page()});
             o.env.push_back({"PATH", Encoder("/usr/bin/pbmtojbg \"$@\" && head -c 50 \"${16}\" > /tmp/h/cut && "
                                              "mv /tmp/h/cut \"${16}\" && exit 1")}); },
         255, "ERROR: JBIG encoder pbmtojbg failed with exit status 1 (page 1)", 0},
        {"encoder writes 20 MB", [](FilterOptions& o) { Raster(o, {Page(), Page(), Page()});
             o.args[4] = "sides=two-sided-long-edge";
             o.env.push_back({"PATH", Encoder("head -c 20000000 /dev/urandom > \"${16}\"")}); },
         0, "DEBUG: page 3 jbg file size: 20000000 ", 4},
        // The machine.
        {"work directory full", [](FilterOptions& o) { Raster(o, {Page(2000, 2000)});
             system("mkdir -m 0700 /tmp/velmarsh && mount -t tmpfs -o size=64k,mode=0700 tmpfs /tmp/velmarsh"); },
         255, "ERROR: ", 0},
        {"printer stream device full", [](FilterOptions& o) { Raster(o, {Page(), Page()}); o.stdoutTo = "/dev/full"; },
         1, "ERROR: Writing the printer stream failed", -1},
        {"standard output closed", [](FilterOptions& o) { Raster(o, {Page()}); o.closeStdout = true; },
         1, "ERROR: The printer stream (standard output) is not open", 0},
    };
}

class Hostile : public ::testing::TestWithParam<size_t> {};

TEST_P(Hostile, EndsCleanly)
{
    static const std::vector<HostileCase> cases = Cases();
    const HostileCase& c = cases[GetParam()];
    Reset();
    FilterOptions o;
    o.args = FilterArgs("", "1");
    o.env = {{"PPD", ProductPpd()}};
    c.setup(o);
    FilterRun r = RunFilter(o, 60);
    system("umount /tmp/velmarsh 2>/dev/null");
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.status, r.status) << r.err.substr(0, 4000);
    EXPECT_NE(std::string::npos, r.err.find(c.line)) << r.err.substr(0, 4000);
    // A failure says so once, with the CUPS error prefix; success says nothing of the kind.
    EXPECT_EQ(c.status == 0 ? 0u : 1u, LinesStartingWith(r.err, "ERROR: ").size()) << r.err.substr(0, 4000);
    ParsedJob job;
    std::string error;
    EXPECT_TRUE(r.out.empty() || SplitStream(r.out, &job, &error)) << error;
    if (c.pages >= 0) {
        EXPECT_EQ((size_t)c.pages, job.pages.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Hostile, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string n = Cases()[info.param].name;
                             for (char& ch : n)
                                 if (!isalnum((unsigned char)ch))
                                     ch = '_';
                             return n;
                         });


} // namespace
