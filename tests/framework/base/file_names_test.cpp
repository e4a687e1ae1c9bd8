#include "framework/base/file_names.h"

#include <gtest/gtest.h>

namespace {

TEST(FileNames, NamesAndExtensionsComeFromTheLastPathComponent) {
  EXPECT_EQ(FileNameNoExt("/banks/design/Patch 1.pch"), "Patch 1");
  EXPECT_EQ(FileNameNoExt(""), "");
  EXPECT_EQ(FileNameNoExt("plain"), "plain");
  EXPECT_EQ(FileNameNoExt("dir.d/file"), "file");
  EXPECT_EQ(FileNameNoExt("a.b.fxb"), "a.b");
  EXPECT_EQ(FileNameNoExt("/x/.hidden"), ".hidden");
  EXPECT_EQ(FileExtLower("Bank.FXB"), ".fxb");
  EXPECT_EQ(FileExtLower("dir.d/file"), "");
  EXPECT_EQ(ChangeFileExt("dir.d/Lead.PCH", ".fxb"), "dir.d/Lead.fxb");
  EXPECT_EQ(ChangeFileExt("dir.d/Lead", ".pch"), "dir.d/Lead.pch");
  EXPECT_EQ(ChangeFileExt("/x/.hidden", ".pch"), "/x/.hidden.pch");
}

TEST(FileNames, SanitizeReplacesEveryCharacterAFileNameCannotHold) {
  EXPECT_EQ(SanitizeFileName("a/b:c"), "a_b_c");
  EXPECT_EQ(SanitizeFileName("?\\/:*\"<>|ok"), "_________ok");
}

}  // namespace
