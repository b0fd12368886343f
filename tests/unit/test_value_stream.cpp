// The typed value stream of the IMAP state files: the exact bytes the files
// hold (tags, little-endian payloads, 80-bit floats) and damaged input.
#include <gtest/gtest.h>

#include <cmath>

#include "ValueStream.h"

namespace {

std::string Hex(const std::string& ABytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : ABytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

template <typename TWrite>
std::string Written(TWrite AWrite) {
  TStringStream s;
  plat::TValueWriter w(s);
  AWrite(w);
  return Hex(s.DataString());
}

}  // namespace

TEST(ValueStream, WriterPicksTheSmallestTag) {
  EXPECT_EQ(Written([](auto& w) { w.WriteInteger(1); }), "02 01");
  EXPECT_EQ(Written([](auto& w) { w.WriteInteger(-1); }), "02 ff");
  EXPECT_EQ(Written([](auto& w) { w.WriteInteger(128); }), "03 80 00");
  EXPECT_EQ(Written([](auto& w) { w.WriteInteger(-32769); }), "04 ff 7f ff ff");
  EXPECT_EQ(Written([](auto& w) { w.WriteInteger(int64_t{1} << 32); }), "13 00 00 00 00 01 00 00 00");
  EXPECT_EQ(Written([](auto& w) {
              w.WriteBoolean(false);
              w.WriteBoolean(true);
            }),
            "08 09");
  EXPECT_EQ(Written([](auto& w) { w.WriteString("\\Seen"); }), "06 05 5c 53 65 65 6e");
  EXPECT_EQ(Written([](auto& w) { w.WriteString(""); }), "06 00");
  EXPECT_EQ(Written([](auto& w) { w.WriteString("\xC3\xA4"); }), "14 02 00 00 00 c3 a4");
  EXPECT_EQ(Written([](auto& w) { w.WriteString(std::string(256, 'a')); }).substr(0, 14), "0c 00 01 00 00");
  EXPECT_EQ(Written([](auto& w) { w.WriteFloat(1.0); }), "05 00 00 00 00 00 00 00 80 ff 3f");
  // 2026-03-02 12:00 as a day count.
  EXPECT_EQ(Written([](auto& w) { w.WriteFloat(46083.5); }), "05 00 00 00 00 00 80 03 b4 0e 40");
  EXPECT_EQ(Written([](auto& w) { w.WriteFloat(0.0); }), "05 00 00 00 00 00 00 00 00 00 00");
}

TEST(ValueStream, RoundTripsAndAcceptedTags) {
  TStringStream s;
  plat::TValueWriter w(s);
  const std::string longText(70000, 'x');
  for (int64_t v : {int64_t{0}, int64_t{-128}, int64_t{32767}, int64_t{-2147483647} - 1, int64_t{1} << 40})
    w.WriteInteger(v);
  for (double v : {46083.123456789, -0.5, 1e-300, 5e-324}) w.WriteFloat(v);
  w.WriteString(longText);
  w.WriteString("/m/\xE6\x97\xA5\xE6\x9C\xAC/MAIL00000001.MSG");
  w.WriteInteger(7);  // read back as a float

  s.SetPosition(0);
  plat::TValueReader r(s);
  for (int64_t v : {int64_t{0}, int64_t{-128}, int64_t{32767}, int64_t{-2147483647} - 1, int64_t{1} << 40})
    EXPECT_EQ(r.ReadInteger(), v);
  for (double v : {46083.123456789, -0.5, 1e-300, 5e-324}) EXPECT_EQ(r.ReadFloat(), v);
  EXPECT_EQ(r.ReadString(), longText);
  EXPECT_EQ(r.ReadString(), "/m/\xE6\x97\xA5\xE6\x9C\xAC/MAIL00000001.MSG");
  EXPECT_EQ(r.ReadFloat(), 7.0);
  EXPECT_THROW((void)r.ReadInteger(), EReadError);  // at the end
}

TEST(ValueStream, DamagedInputRaises) {
  auto reading = [](const std::string& ABytes, auto ARead) {
    TStringStream s(ABytes);
    plat::TValueReader r(s);
    ARead(r);
  };
  EXPECT_THROW(reading("\x06\x05" "ab", [](auto& r) { (void)r.ReadString(); }), EReadError);
  EXPECT_THROW(reading(std::string("\x14\xff\xff\xff\x7f", 5), [](auto& r) { (void)r.ReadString(); }), EReadError);
  EXPECT_THROW(reading("\x06\x00", [](auto& r) { (void)r.ReadInteger(); }), EReadError);
  EXPECT_THROW(reading("\x02", [](auto& r) { (void)r.ReadInteger(); }), EReadError);
  EXPECT_THROW(reading("\x02\x01", [](auto& r) { (void)r.ReadBoolean(); }), EReadError);
  EXPECT_TRUE(std::isinf(plat::ExtendedToDouble({0, 0, 0, 0, 0, 0, 0, 0x80, 0xff, 0x7f})));
  EXPECT_EQ(plat::ExtendedToDouble({0, 0, 0, 0, 0, 0, 0, 0x80, 0xff, 0x7b}), INFINITY);  // beyond a double
}
