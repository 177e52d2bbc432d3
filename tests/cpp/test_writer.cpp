// The writers' exact bytes, the number rule, the run-parallel renderer and
// saving, at the level the Python functions cannot reach.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/cpp/check.h"
#include "textgrid/model/converter.h"
#include "textgrid/model/textgrid.h"
#include "textgrid/layout/writer.h"
#include "textgrid/text/number_write.h"

using namespace textgrid;

namespace {

using test_support::check;
using test_support::failures;

void check_eq(const std::string& got, const std::string& want, const std::string& what) {
    if (got != want) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n  got:  [%s]\n  want: [%s]\n", what.c_str(), got.c_str(), want.c_str());
    }
}

std::string format_time(double v) {
    char buf[kMaxTime];
    return {buf, write_time(buf, v)};
}

std::string format_time_by_digits(double v) {
    char buf[kMaxTime];
    return {buf, detail::write_time_by_digits(buf, v)};
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\r\n";
    return out;
}

TextGrid worked_example() {
    Tier words{"words", {{"hello", 0, 1.2}, {"", 1.2, 2.5}}, 2, 0, 2.5, true};
    Tier events{"events", {{"x", 0.75, 0.75}}, 1, 0, 2.5, false};
    return TextGrid{"example", {words, events}, 0, 2.5, 2};
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The worked example as each layout writes it: the files the Python tests
// of data2textgrid and vectors2textgrid hold their output against too.
void test_worked_example(const char* layout, const std::string& written) {
    const std::string want = read_file(std::string(ORVEX_TEST_DATA) + "/worked_example_" + layout + ".TextGrid");
    check(!want.empty(), std::string("the ") + layout + " worked example file is there");
    check_eq(written, want, std::string(layout) + " worked example");
}

void test_number_rule() {
    struct Case {
        double v;
        std::string want;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {0.0, "0"},
        {-0.0, "-0"},
        {1.0, "1"},
        {12.0, "12"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-7, "0.0000001"},
        {1.5e10, "15000000000"},
        {1e21, "1000000000000000000000"},
        {1e23, "100000000000000000000000"},
        {1152921504606846976.0, "1152921504606847000"},  // 2^60
        {-1.25, "-1.25"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {nan, "NaN"},
        {-nan, "NaN"},
        {inf, "inf"},
        {-inf, "-inf"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
        {-1e-300, "-0." + std::string(299, '0') + "1"},
        {123.456, "123.456"},
        {100.0, "100"},
        {0.000123, "0.000123"},
    };
    for (const Case& c : cases) check_eq(format_time(c.v), c.want, "number " + c.want.substr(0, 40));
    check(format_time(5e-324).size() == 326, "smallest subnormal is 326 characters");

    // Every written number reads back to the same bits.
    for (double v : {1.0 / 3.0, 2.0 / 3.0, 1e23, 9007199254740993.0, 123456.789e-200, 4.35, 0.3}) {
        const std::string s = format_time(v);
        double back = 0;
        const auto res = std::from_chars(s.data(), s.data() + s.size(), back);
        check(res.ptr == s.data() + s.size() && back == v, "round trip of " + s.substr(0, 40));
    }
}

// Times of a few decimals, and others that to_chars writes positionally,
// take quicker paths; they must write what the general path writes, which
// lays out the shortest digits by hand.
void test_few_decimals_path_agrees() {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> decimals(0, 8), bits(1, 62);
    std::vector<double> values = {0.5, 0.25, 0.125, 1e-6, 5e-7, 0.000001, 0.0000015, 2147483647.5, 2147483647.999999,
                                  2147483648.0, 2147483648.5, 1073741823.999999, 4.35, 0.3, 100.0, 1e15,
                                  9007199254740991.0, 9007199254740992.0, 9007199254740994.0, 4503599627370495.5,
                                  1.5e15, 1e16, 0.00001234, 0.0001, 1.0 / 3.0, 5e-324};
    for (int n = 0; n < 200000; ++n) {
        const int k = decimals(rng);
        const std::uint64_t m = rng() >> (64 - bits(rng));
        double v = static_cast<double>(m) / std::pow(10.0, k);
        if (n % 3 == 0) v = std::nextafter(v, n % 2 ? 0.0 : 1e300);  // just off a short decimal
        values.push_back(n % 5 == 0 ? -v : v);
        if (n % 7 == 0) values.push_back(std::uniform_real_distribution<double>(0, 20000)(rng));
    }
    int wrong = 0;
    for (double v : values) {
        const std::string fast = format_time(v), general = format_time_by_digits(v);
        if (fast != general && ++wrong <= 5) std::fprintf(stderr, "  %.17g: %s, not %s\n", v, fast.c_str(), general.c_str());
    }
    check(wrong == 0, "times of few decimals are written as the shortest digits are");
}

void test_quotes_and_raw_text() {
    Tier tier{"a\"b", {{"say \"hi\"", 0, 1}, {"back\\slash\ttab\r\nline", 1, 2}}, 2, 0, 2, true};
    TextGrid tg{"x", {tier}, 0, 2, 1};
    const std::string lng = tg.to_long_textgrid_string();
    check(lng.find("        name = \"a\"\"b\" \r\n") != std::string::npos, "long: quote in name doubled");
    check(lng.find("            text = \"say \"\"hi\"\"\" \r\n") != std::string::npos, "long: quotes in label doubled");
    check(lng.find("            text = \"back\\slash\ttab\r\nline\" \r\n") != std::string::npos,
          "long: backslash, tab and line break written as they are");
    const std::string srt = tg.to_short_textgrid_string();
    check(srt.find("\r\n\"a\"\"b\"\r\n") != std::string::npos, "short: quote in name doubled");
    check(srt.find("\r\n\"say \"\"hi\"\"\"\r\n") != std::string::npos, "short: quotes in label doubled");
    std::string q;
    append_quoted(q, "\"\"");
    check_eq(q, "\"\"\"\"\"\"", "label of two quotes");
}

void test_empty_grid_and_tiers() {
    TextGrid none{"n", {}, 0, 1, 0};
    const std::string lng = none.to_long_textgrid_string();
    check(lng.find("tiers? <absent> \r\nsize = 0 \r\nitem []: \r\n") != std::string::npos &&
              lng.size() >= 11 && lng.substr(lng.size() - 11) == "item []: \r\n",
          "long: no tiers ends after the header");
    check_eq(none.to_short_textgrid_string(),
             join_lines({"File type = \"ooTextFile\"", "Object class = \"TextGrid\"", "", "0", "1", "<absent>", "0"}),
             "short: no tiers gives seven lines");

    Tier empty{"e", {}, 0, 0, 1, false};
    Tier next{"n", {{"", 0, 1}}, 1, 0, 1, true};
    TextGrid tg{"t", {empty, next}, 0, 1, 2};
    check(tg.to_long_textgrid_string().find("        points: size = 0 \r\n    item [2]:\r\n") != std::string::npos,
          "long: empty point tier followed at once by the next tier");
    check(tg.to_short_textgrid_string().find("\"e\"\r\n0\r\n1\r\n0\r\n\"IntervalTier\"\r\n") != std::string::npos,
          "short: empty tier followed at once by the next tier");
    check_eq(empty.to_long_textgrid_string(6).substr(0, 15), "    item [7]:\r\n", "tier position is index + 1");
}

void test_point_writes_tmin_only() {
    Tier pts{"p", {{"a", 0.5, 9.0}}, 1, 0, 1, false};
    const std::string lng = pts.to_long_textgrid_string(0);
    check(lng.find("number = 0.5 ") != std::string::npos && lng.find('9') == std::string::npos,
          "long: a point is written by its tmin");
    check(pts.to_short_textgrid_string().find('9') == std::string::npos, "short: a point is written by its tmin");
}

void test_parallel_matches_serial() {
    for (bool interval : {true, false}) {
        Tier tier{"big", {}, 0, 0, 5000, interval};
        for (std::size_t i = 0; i < 2347; ++i) {
            const double t = static_cast<double>(i) * 0.37;
            std::string label = std::to_string(i);
            if (i % 7 == 0) label += "\"q\"";
            tier.items.push_back({std::move(label), t, interval ? t + 0.3 : t});
        }
        for (bool long_layout : {true, false}) {
            std::string serial, pooled;
            detail::append_item_blocks(serial, tier, long_layout, 100000);
            detail::append_item_blocks(pooled, tier, long_layout, 1);
            check(!serial.empty() && serial == pooled, "pool and calling thread render the same bytes");
        }
        const std::string lng = tier.to_long_textgrid_string(0);
        check(lng.find(interval ? "intervals [2347]:" : "points [2347]:") != std::string::npos,
              "item numbers run to the last item");
    }
}

void test_save() {
    char dir_template[] = "/tmp/orvex_writer_XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/out.TextGrid";
    const TextGrid tg = worked_example();

    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(100000, 'z');
    }
    check(tg.save_textgrid(path, true).ok(), "save long over a longer file");
    check_eq(read_file(path), tg.to_long_textgrid_string(), "saved long bytes replace the old content");
    check(tg.save_textgrid(path, false).ok(), "save short");
    check_eq(read_file(path), tg.to_short_textgrid_string(), "saved short bytes");

    const mode_t old_mask = umask(027);
    const std::string masked = dir + "/masked.TextGrid";
    check(tg.save_textgrid(masked, true).ok(), "save with umask");
    struct stat st {};
    check(stat(masked.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640, "new file has 0666 less umask");
    umask(old_mask);

    // A tier large enough for the pool is saved as many separate runs, more
    // than one writev call takes; the file must still be the joined text.
    Tier big{"big", {}, 0, 0, 60000, true};
    for (std::size_t i = 0; i < 60000; ++i) big.items.push_back({"x", static_cast<double>(i), static_cast<double>(i) + 1.0});
    big.size = big.items.size();
    const TextGrid large{"large", {tg.tiers[0], big, tg.tiers[1]}, 0, 60000, 3};
    for (bool long_layout : {true, false}) {
        check(large.save_textgrid(path, long_layout).ok(), "save a large grid");
        check(read_file(path) == (long_layout ? large.to_long_textgrid_string() : large.to_short_textgrid_string()),
              "a large grid is saved as its text");
    }

    auto missing = tg.save_textgrid(dir + "/no/such/dir/out.TextGrid", true);
    check(!missing.ok() && missing.error().text() == "No such file or directory (os error 2)",
          "missing directory gives the OS message");
    auto is_dir = tg.save_textgrid(dir, true);
    check(!is_dir.ok() && is_dir.error().text() == "Is a directory (os error 21)", "a directory cannot be written");
    auto full = tg.save_textgrid("/dev/full", true);
    check(!full.ok() && full.error().text() == "No space left on device (os error 28)", "a full device fails");

    const std::string with_nul = dir + "/cut" + std::string(1, '\0') + "off";
    auto nul = tg.save_textgrid(with_nul, true);
    check(!nul.ok(), "a path with a NUL byte is refused");
    check(access((dir + "/cut").c_str(), F_OK) != 0, "the part before the NUL is not created");

    std::remove(path.c_str());
    std::remove(masked.c_str());
    rmdir(dir.c_str());
}

void test_make_textgrid_name() {
    auto unnamed = make_textgrid({}, std::nullopt, 0.0, 1.0);
    check(unnamed.ok() && unnamed.value().name == "ConvertedTextGrid", "default name");
    auto named = make_textgrid({}, std::string("TextGrid"), 0.0, 1.0);
    check(named.ok() && named.value().name == "TextGrid" && named.value().size == 0, "given name");
}

}  // namespace

int main() {
    test_worked_example("long", worked_example().to_long_textgrid_string());
    test_worked_example("short", worked_example().to_short_textgrid_string());
    test_number_rule();
    test_few_decimals_path_agrees();
    test_quotes_and_raw_text();
    test_empty_grid_and_tiers();
    test_point_writes_tmin_only();
    test_parallel_matches_serial();
    test_save();
    test_make_textgrid_name();
    return test_support::finish("test_writer");
}
