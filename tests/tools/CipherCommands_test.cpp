// vci-ident-tool's blowfish and archive commands, run as a provisioning
// script would run them.
#include <gtest/gtest.h>

#include <string>

#include "ToolRun.h"
#include "common/TestEnv.h"

namespace {

using tooltest::FromHex;
using tooltest::Out;
using tooltest::Tool;

TEST(BlowfishCommand, EnciphersStandardInputInEveryMode) {
  const std::string block = FromHex("1111111111111111"), enciphered = FromHex("61F9C3802281B096");
  EXPECT_EQ(Out("blowfish encrypt --key 0123456789ABCDEF", block), enciphered);
  EXPECT_EQ(Out("blowfish decrypt --key 0123456789abcdef --mode ecb", enciphered), block);

  std::string plain = FromHex("37363534333231204E6F77206973207468652074696D6520666F722000000000");
  EXPECT_EQ(Out("blowfish encrypt --key 0123456789ABCDEFF0E1D2C3B4A59687 --mode cbc --iv FEDCBA9876543210", plain),
            FromHex("6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC"));
  for (const std::string mode : {"cfb", "ofb"}) {  // the longest key there is
    const std::string opts = " --key " + std::string(112, 'A') + " --iv FEDCBA9876543210 --mode " + mode;
    EXPECT_EQ(Tool("blowfish decrypt" + opts, Tool("blowfish encrypt" + opts, plain).out).out, plain) << mode;
  }
}

TEST(ArchiveCommand, DecipheredThenEncipheredAgainIsByteIdentical) {
  testenv::ScratchDir dir;
  // Id word 0x0102 and a 5-byte body.
  testenv::WriteFile(dir.File("plain.bin"), std::string("\x02\x01\x00\x00hello", 9));
  ASSERT_EQ(Tool("archive encrypt " + dir.File("plain.bin") + " " + dir.File("enc.bin")).status, 0);
  std::string enc = testenv::ReadFile(dir.File("enc.bin"));
  ASSERT_EQ(enc.size(), 12u);
  EXPECT_EQ(enc.substr(0, 4), std::string("\x02\x81\x00\x00", 4));

  ASSERT_EQ(Tool("archive decrypt " + dir.File("enc.bin") + " " + dir.File("dec.bin")).status, 0);
  EXPECT_EQ(testenv::ReadFile(dir.File("dec.bin")), std::string("\x02\x01\x00\x00hello\0\0\0", 12));
  ASSERT_EQ(Tool("archive encrypt " + dir.File("dec.bin") + " " + dir.File("again.bin")).status, 0);
  EXPECT_EQ(testenv::ReadFile(dir.File("again.bin")), enc);

  // A body that is not whole blocks does not decipher; flags are checked.
  testenv::WriteFile(dir.File("odd.bin"), enc + "abcd");
  EXPECT_EQ(Tool("archive decrypt " + dir.File("odd.bin") + " " + dir.File("x.bin")).status, 1);
  EXPECT_EQ(Tool("archive decrypt " + dir.File("plain.bin") + " " + dir.File("x.bin")).status, 1);
  EXPECT_EQ(Tool("archive encrypt " + dir.File("enc.bin") + " " + dir.File("x.bin")).status, 1);
  EXPECT_EQ(Tool("archive encrypt " + dir.File("missing.bin") + " " + dir.File("x.bin")).status, 1);
}

}  // namespace
