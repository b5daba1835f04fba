// The mount's names: device names made local by the safe-name rule and
// mapped back exactly, and which new local names may become device names.
#include <gtest/gtest.h>

#include "mount/mount_names.h"

namespace corvane::mount {
namespace {

std::vector<ListingEntry> Listing(std::initializer_list<const char*> names) {
  std::vector<ListingEntry> out;
  for (const char* n : names) out.push_back({n, 1, kKindFile});
  return out;
}

TEST(MountNames, ClashingNamesAreNumberedAndEachMapsBackToItsOwnDeviceName) {
  const FolderNames names(Listing({"a/b", "a_b", "tab\tname", "caf\xE9"}));
  ASSERT_EQ(names.Count(), 4u);
  EXPECT_EQ(names.LocalName(0), "a_b");
  EXPECT_EQ(names.LocalName(1), "a_b (2)");
  EXPECT_EQ(names.LocalName(2), "tab_name");
  EXPECT_EQ(names.LocalName(3), "caf\xC3\xA9");  // Latin-1 shown as UTF-8
  ASSERT_NE(names.Find("a_b"), nullptr);
  EXPECT_EQ(names.Find("a_b")->name, "a/b");
  EXPECT_EQ(names.Find("a_b (2)")->name, "a_b");
  EXPECT_EQ(names.Find("tab_name")->name, "tab\tname");
  EXPECT_EQ(names.Find("caf\xC3\xA9")->name, "caf\xE9");
  EXPECT_EQ(names.Find("a/b"), nullptr);
  EXPECT_EQ(names.IndexOf("missing"), std::nullopt);
}

TEST(MountNames, ANewNameIsTakenOnlyWhenItReadsBackAsItselfAndTheDeviceCanCarryIt) {
  std::string why;
  EXPECT_EQ(NewDeviceName("caf\xC3\xA9.txt", false, why).value_or("?"), "caf\xE9.txt");
  EXPECT_EQ(NewDeviceName("a b", true, why).value_or("?"), "a b");  // a Quillon name may hold a blank
  for (const char* bad : {"a b", "it's", "back\\slash", "ctl\x01", "\xE2\x82\xAC"}) {
    why.clear();
    EXPECT_FALSE(NewDeviceName(bad, false, why).has_value()) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_FALSE(NewDeviceName("back\\slash", true, why).has_value());
  EXPECT_FALSE(NewDeviceName(std::string(256, 'x'), false, why).has_value());
}

TEST(MountNames, KernelPathsSplitIntoTheirNames) {
  EXPECT_TRUE(SplitLocalPath("/").empty());
  EXPECT_EQ(SplitLocalPath("/a/b c/d"), (std::vector<std::string>{"a", "b c", "d"}));
}

}  // namespace
}  // namespace corvane::mount
