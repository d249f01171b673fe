#include "quarvo/core/text.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

std::string utf8(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

std::string to_hex(std::string_view bytes) {
  std::string out;
  for (const unsigned char b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

// Python is the reference. For byte sequences (every byte pair, and three
// bytes around each lead byte's limits): whether they are UTF-8, and their
// decoding with errors="replace". For code points, one byte each: 1
// printable, 0 not, 2 unassigned in Python's Unicode. A Python with the
// table's Unicode version must agree on every code point; an older one on
// every code point it has assigned, since a later version only assigns more
// (the others may have become printable since). A newer Python cannot tell
// which of its characters the table's version lacked, so that half skips.
TEST(Text, AgreesWithPythonOnEveryByteSequenceAndCodePoint) {
  static constexpr unsigned char kEdges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                             0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::vector<std::string> cases = {"\xF4\x90\x80\x80 \xED\xA0\x80 \xF0\x9F\x98\x80 \xE2\x82"};
  for (int ab = 0; ab < 0x10000; ++ab) cases.push_back({static_cast<char>(ab >> 8), static_cast<char>(ab)});
  for (int lead = 0xE0; lead <= 0xF4; ++lead) {
    for (const char b : kEdges) {
      for (const char c : kEdges) cases.push_back({static_cast<char>(lead), b, c});
    }
  }
  testing::TempDir dir;
  const auto at = [&](const char* name) { return (dir.path() / name).string(); };
  std::string input;
  for (const auto& c : cases) input += to_hex(c) + "\n";
  testing::spit(at("in"), input);
  // Per line of "out": 1 when valid UTF-8, then the lossy decoding in hex.
  ASSERT_EQ(
      testing::run_program({QUARVO_PYTHON, "-c",
                            "import sys, unicodedata as u\n"
                            "with open(sys.argv[2], 'w') as out:\n"
                            "    for b in map(bytes.fromhex, open(sys.argv[1])):\n"
                            "        lossy = b.decode('utf-8', 'replace').encode()\n"
                            "        out.write(f'{int(lossy == b)}{lossy.hex()}\\n')\n"
                            "open(sys.argv[3], 'w').write(u.unidata_version)\n"
                            "p = [2 if u.category(chr(c)) == 'Cn' else chr(c).isprintable() for c in range(0x110000)]\n"
                            "open(sys.argv[4], 'wb').write(bytes(p))\n",
                            at("in"), at("out"), at("version"), at("bitmap")}),
      0);
  std::istringstream expected(testing::slurp(at("out")));
  int failures = 0;
  for (const auto& c : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(expected, line));
    const std::string ours = std::to_string(is_valid_utf8(c)) + to_hex(lossy_utf8(c));
    EXPECT_EQ(ours, line) << "input " << to_hex(c);
    if (ours != line && ++failures == 10) break;
  }
  const std::string python_unicode = testing::slurp(at("version")), table_unicode(unicode_version());
  const int order = ::strverscmp(python_unicode.c_str(), table_unicode.c_str());
  if (order > 0) {
    GTEST_SKIP() << QUARVO_PYTHON << " has Unicode " << python_unicode << ", newer than the table's " << table_unicode
                 << "; regenerate it with scripts/gen_unicode_printable.py";
  }
  const std::string bitmap = testing::slurp(at("bitmap"));
  ASSERT_EQ(bitmap.size(), 0x110000u);
  for (char32_t cp = 0; cp < 0x110000 && failures < 20; ++cp) {
    if (order < 0 && bitmap[cp] == 2) continue;  // assigned after Python's Unicode, perhaps
    const bool printable = bitmap[cp] == 1, surrogate = cp >= 0xD800 && cp <= 0xDFFF;  // no UTF-8 form
    const std::string ch = utf8(cp);
    // quote's escape, then repr()'s, which escape_unprintable writes.
    char braced[16], python[16];
    std::snprintf(braced, sizeof braced, "\\u{%x}", unsigned(cp));
    std::snprintf(python, sizeof python, cp < 0x100 ? "\\x%02x" : cp < 0x10000 ? "\\u%04x" : "\\U%08x", unsigned(cp));
    const char* control = cp == '\t' ? "\\t" : cp == '\r' ? "\\r" : cp == '\n' ? "\\n" : nullptr;
    const std::string quoted = control ? control : cp == '"' || cp == '\\' ? "\\" + ch : printable ? ch : braced;
    const std::string escaped = control ? control : printable ? ch : python;
    if (is_printable(cp) != printable ||
        (!surrogate && (quote(ch) != '"' + quoted + '"' || escape_unprintable(ch) != escaped || char_count(ch) != 1))) {
      ADD_FAILURE() << "U+" << std::hex << unsigned(cp) << ": is_printable " << is_printable(cp) << ", quote "
                    << quote(ch) << ", escape_unprintable " << escape_unprintable(ch);
      ++failures;
    }
  }
}

// Messages show 200 characters of a text, counted as characters (not bytes),
// what cannot be decoded counting as the U+FFFD that stands for it.
TEST(Text, MessagesCutTextsAtTwoHundredCharacters) {
  std::string e150, e201;
  for (int i = 0; i < 150; ++i) e150 += "\u00e9";
  for (int i = 0; i < 201; ++i) e201 += "\u00e9";
  EXPECT_EQ(quote(e150), '"' + e150 + '"');
  EXPECT_EQ(cut_for_message(e150), e150);
  const std::string e200 = e201.substr(0, 400);
  EXPECT_EQ(cut_for_message(e201), e200 + "... (201 characters)");
  EXPECT_EQ(quote(e201 + "\""), '"' + e200 + "...\" (202 characters)");
  EXPECT_EQ(cut_for_message(std::string(198, 'a') + "\xff\xfe"), std::string(198, 'a') + "\uFFFD\uFFFD");
  EXPECT_EQ(cut_for_message(std::string(199, 'a') + "\xff\xfe"), std::string(199, 'a') + "\uFFFD... (201 characters)");
}

}  // namespace
}  // namespace quarvo
