#include "quarvo/core/text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::run_program;
using testing::slurp;
using testing::spit;
using testing::TempDir;

std::string utf8(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// Python's str.isprintable() is the reference, one byte per code point: 1
// printable, 0 not, 2 unassigned in Python's Unicode. A Python with the
// table's Unicode version must agree on every code point; an older one on
// every code point it has assigned, since a later version only assigns more
// (the others may have become printable since). A newer Python cannot tell
// which of its characters the table's version lacked, so the test skips.
TEST(Quote, AgreesWithPythonOnEveryCodePoint) {
  TempDir dir;
  const auto version_file = dir.path() / "version";
  const auto bitmap_file = dir.path() / "bitmap";
  ASSERT_EQ(run_program({QUARVO_PYTHON, "-c",
                         "import sys, unicodedata\n"
                         "open(sys.argv[1], 'w').write(unicodedata.unidata_version)\n"
                         "open(sys.argv[2], 'wb').write(bytes(\n"
                         "    2 if unicodedata.category(chr(c)) == 'Cn' else chr(c).isprintable()\n"
                         "    for c in range(0x110000)))\n",
                         version_file.string(), bitmap_file.string()}),
            0);
  const std::string python_unicode = slurp(version_file);
  const std::string table_unicode(unicode_version());
  const int order = ::strverscmp(python_unicode.c_str(), table_unicode.c_str());
  if (order > 0) {
    GTEST_SKIP() << QUARVO_PYTHON << " has Unicode " << python_unicode << ", newer than the table's " << table_unicode
                 << "; regenerate it with scripts/gen_unicode_printable.py";
  }
  const std::string bitmap = slurp(bitmap_file);
  ASSERT_EQ(bitmap.size(), 0x110000u);

  int failures = 0;
  for (char32_t cp = 0; cp < 0x110000 && failures < 10; ++cp) {
    if (order < 0 && bitmap[cp] == 2) continue;  // assigned after Python's Unicode, perhaps
    const bool printable = bitmap[cp] == 1;
    if (is_printable(cp) != printable) {
      ADD_FAILURE() << "is_printable(U+" << std::hex << unsigned(cp) << ") != " << printable;
      ++failures;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // no UTF-8 form
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(cp));
    std::string expected = printable ? utf8(cp) : buf;
    if (cp == '"' || cp == '\\') expected = "\\" + utf8(cp);
    if (cp == '\t' || cp == '\r' || cp == '\n') expected = cp == '\t' ? "\\t" : cp == '\r' ? "\\r" : "\\n";
    if (quote(utf8(cp)) != "\"" + expected + "\"") {
      ADD_FAILURE() << "quote(U+" << std::hex << unsigned(cp) << ") = " << quote(utf8(cp));
      ++failures;
    }
    // escape_unprintable writes what repr() writes for an unprintable character.
    std::snprintf(buf, sizeof buf, cp < 0x100 ? "\\x%02x" : cp < 0x10000 ? "\\u%04x" : "\\U%08x", unsigned(cp));
    expected = printable ? utf8(cp) : buf;
    if (cp == '\t' || cp == '\r' || cp == '\n') expected = cp == '\t' ? "\\t" : cp == '\r' ? "\\r" : "\\n";
    if (escape_unprintable(utf8(cp)) != expected || char_count(utf8(cp)) != 1) {
      ADD_FAILURE() << "escape_unprintable(U+" << std::hex << unsigned(cp) << ") = " << escape_unprintable(utf8(cp));
      ++failures;
    }
  }
}

// Every byte pair, and three-byte sequences around each lead byte's limits.
std::vector<std::string> lossy_cases() {
  static constexpr unsigned char kEdges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                             0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::vector<std::string> cases;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) cases.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  for (int lead = 0xE0; lead <= 0xF4; ++lead) {
    for (unsigned char b : kEdges) {
      for (unsigned char c : kEdges)
        cases.push_back({static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c)});
    }
  }
  cases.push_back("\xF4\x90\x80\x80 \xED\xA0\x80 \xF0\x9F\x98\x80 \xE2\x82");
  return cases;
}

TEST(LossyUtf8, AgreesWithPythonDecodeReplace) {
  TempDir dir;
  const auto in = dir.path() / "in";
  const auto out = dir.path() / "out";
  const std::vector<std::string> cases = lossy_cases();
  std::string input;
  for (const auto& c : cases) input += to_hex(c) + "\n";
  spit(in, input);
  // Per line: 1 when valid UTF-8, then the lossy decoding in hex.
  ASSERT_EQ(run_program({QUARVO_PYTHON, "-c",
                         "import sys\n"
                         "with open(sys.argv[1]) as f, open(sys.argv[2], 'w') as g:\n"
                         "    for line in f:\n"
                         "        b = bytes.fromhex(line.strip())\n"
                         "        lossy = b.decode('utf-8', 'replace')\n"
                         "        g.write(str(int(lossy.encode() == b)) + lossy.encode().hex() + '\\n')\n",
                         in.string(), out.string()}),
            0);
  std::istringstream expected(slurp(out));
  int failures = 0;
  for (const auto& c : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(expected, line));
    if (to_hex(lossy_utf8(c)) != line.substr(1) || is_valid_utf8(c) != (line[0] == '1')) {
      ADD_FAILURE() << "input " << to_hex(c) << ": lossy " << to_hex(lossy_utf8(c)) << " valid " << is_valid_utf8(c)
                    << ", Python says " << line;
      if (++failures == 10) break;
    }
  }
}

}  // namespace
}  // namespace quarvo
