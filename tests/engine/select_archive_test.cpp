#include "select_archive.h"

#include "fake_window.h"

#include <gtest/gtest.h>

namespace {

FormState FormWith(std::vector<std::string> names, std::int32_t idx) {
  FormState form;
  form.filelist = std::move(names);
  form.fileidx = idx;
  form.bigname = "before";
  return form;
}

TEST(SelectArchive, StoresTheArchiveOfTheCurrentEntry) {
  FakeWindow window;
  FormState form = FormWith({"", "velo_a.o", "bern_b.o"}, 2);
  EXPECT_TRUE(SelectArchive(form, window));
  EXPECT_EQ(form.bigname, "zdata_05.big");
  form.fileidx = 1;
  EXPECT_TRUE(SelectArchive(form, window));
  EXPECT_EQ(form.bigname, "zdata_06.big");
  EXPECT_TRUE(window.log.empty());
}

TEST(SelectArchive, RejectedNameShowsTheMessageAndEndsTheProgram) {
  FakeWindow window;
  FormState form = FormWith({"", "bern_a.o", "Bern_b.o"}, 2);
  EXPECT_FALSE(SelectArchive(form, window));
  EXPECT_EQ(form.bigname, "before");
  ASSERT_EQ(window.log.size(), 2u);
  EXPECT_EQ(window.log[0], "message error this is not a file-stadium for fifa2004");
  EXPECT_EQ(window.log[1], "end 1");
  EXPECT_EQ(window.end_calls, 1);
  EXPECT_EQ(form.filelist[2], "Bern_b.o");
}

}  // namespace
