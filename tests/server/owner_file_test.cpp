// The office owner file Windows spreadsheet applications keep beside an open workbook.
#include <gtest/gtest.h>

#include "server/workbook_lock.h"

namespace orv {
namespace {

struct OwnerCase {
  const char* label;
  std::string name;
  std::string kept;  // what a reader finds: at most 52 UTF-16 units, cut between characters
};

class OwnerFile : public ::testing::TestWithParam<OwnerCase> {};

TEST_P(OwnerFile, HasTheFixedLayoutAndReadsBack) {
  const std::string bytes = formatOwnerFile(GetParam().name);
  ASSERT_EQ(bytes.size(), 165u);
  std::size_t units = 0;
  for (unsigned char c : GetParam().kept) units += (c & 0xC0) != 0x80 ? 1 : 0;
  units += GetParam().kept.find("\xF0") != std::string::npos ? 1 : 0;  // one surrogate pair
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), units);
  EXPECT_EQ(static_cast<unsigned char>(bytes[55]), units);
  EXPECT_EQ(bytes[54], ' ');
  EXPECT_EQ(bytes.substr(163), std::string(" \0", 2));
  EXPECT_EQ(parseOwnerFile(bytes), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OwnerFile,
    ::testing::Values(OwnerCase{"Plain", "Anna", "Anna"},
                      OwnerCase{"Accented", "Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m",
                                "Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m"},
                      OwnerCase{"OutsideTheBasicPlane", "Ann \xF0\x9F\x98\x80",
                                "Ann \xF0\x9F\x98\x80"},
                      OwnerCase{"CutAt52", std::string(60, 'x'), std::string(52, 'x')}),
    [](const ::testing::TestParamInfo<OwnerCase>& info) { return info.param.label; });

TEST(OwnerFile, WithoutTheWideCopyTheNarrowOneIsRead) {
  std::string bytes = formatOwnerFile("B\xC3\xA9la");
  bytes[55] = bytes[56] = '\0';
  EXPECT_EQ(parseOwnerFile(bytes), "B\xC3\xA9la");
}

TEST(OwnerFile, OtherBytesAreNoOwnerFile) {
  EXPECT_FALSE(parseOwnerFile(""));
  EXPECT_FALSE(parseOwnerFile(std::string(165, '\0')));  // no name
  EXPECT_FALSE(parseOwnerFile(std::string(20, '\x04')));  // too short
  EXPECT_FALSE(parseOwnerFile(std::string(165, '\xFF')));  // name longer than allowed
}

}  // namespace
}  // namespace orv
