// Typed values and engine exceptions.
#include <gtest/gtest.h>

#include "platform/dao/afxdao.h"

namespace {

TEST(ColeVariant, NullAndEmptyEqualNothingNotEvenThemselves) {
  const COleVariant null = COleVariant::Null();
  const COleVariant empty;
  EXPECT_FALSE(null == COleVariant::Null());
  EXPECT_FALSE(null == null);
  EXPECT_FALSE(empty == COleVariant());
  EXPECT_FALSE(empty == null);
  EXPECT_TRUE(null != null);
  EXPECT_FALSE(COleVariant::Long(0) == empty);
}

TEST(ColeVariant, IntegersOfDifferentWidthAreNotEqual) {
  EXPECT_FALSE(COleVariant::Short(5) == COleVariant::Long(5));
  EXPECT_FALSE(COleVariant::Short(99) == COleVariant::Long(99));
  EXPECT_TRUE(COleVariant::Long(99) == COleVariant(99L, VT_I4));
  EXPECT_TRUE(COleVariant::Short(-7) == COleVariant(-7L, VT_I2));
  EXPECT_FALSE(COleVariant::Long(99) == COleVariant::Long(98));
}

TEST(ColeVariant, BooleanTrueIsMinusOneAndDiffersFromTheInteger) {
  EXPECT_EQ(COleVariant::Bool(true).lVal(), -1);
  EXPECT_EQ(COleVariant(5L, VT_BOOL).lVal(), -1);
  EXPECT_EQ(COleVariant(0L, VT_BOOL).lVal(), 0);
  EXPECT_TRUE(COleVariant::Bool(true) == COleVariant(1L, VT_BOOL));
  EXPECT_FALSE(COleVariant::Bool(true) == COleVariant::Long(-1));
  EXPECT_FALSE(COleVariant::Bool(true) == COleVariant::Bool(false));
}

TEST(ColeVariant, TextsCompareCodeUnitByCodeUnit) {
  EXPECT_TRUE(COleVariant(u"Straße") == COleVariant(CString(u"Straße")));
  EXPECT_FALSE(COleVariant(u"abc") == COleVariant(u"ABC"));
  const CString withNul(u"a\0b", 3);
  EXPECT_FALSE(COleVariant(withNul) == COleVariant(u"a"));
  EXPECT_TRUE(COleVariant(withNul) == COleVariant(CString(u"a\0b", 3)));
  EXPECT_FALSE(COleVariant(u"5") == COleVariant::Long(5));
  // U+00E9 precomposed versus e + combining acute: different code units, so different texts.
  EXPECT_FALSE(COleVariant(u"\u00e9") == COleVariant(u"e\u0301"));
}

TEST(ColeVariant, DoublesCompareByValue) {
  EXPECT_TRUE(COleVariant::Double(1.5) == COleVariant::Double(1.5));
  EXPECT_FALSE(COleVariant::Double(1.0) == COleVariant::Long(1));
}

TEST(DaoException, ErrorMessageIsCutToTheBufferWithATerminator) {
  const CDaoException e(MakeDaoScode(3024), u"Could not find file '/tmp/x.db'.");
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_FALSE(e.GetErrorMessage(buffer, 5));
  EXPECT_EQ(CString(buffer), u"Coul");
  EXPECT_EQ(buffer[5], u'#');  // nothing written past the size given
}

TEST(DaoException, ErrorMessageThatFitsIsWrittenWholeAndReportsTrue) {
  const CDaoException e(MakeDaoScode(3078), u"abc");
  WCHAR buffer[256];
  UINT help = 77;
  EXPECT_TRUE(e.GetErrorMessage(buffer, 255, &help));
  EXPECT_EQ(CString(buffer), u"abc");
  EXPECT_EQ(help, 0u);
  WCHAR exact[4];
  EXPECT_TRUE(e.GetErrorMessage(exact, 4));
  EXPECT_EQ(CString(exact), u"abc");
}

TEST(DaoException, ZeroSizedBufferIsLeftAlone) {
  const CDaoException e(MakeDaoScode(3000), u"abc");
  WCHAR buffer[2] = {u'x', u'y'};
  EXPECT_FALSE(e.GetErrorMessage(buffer, 0));
  EXPECT_EQ(buffer[0], u'x');
}

TEST(DaoException, ScodeCarriesTheEngineErrorNumber) {
  EXPECT_EQ(static_cast<std::uint32_t>(E_DAO_FILE_NOT_FOUND), 0x800A0BD0u);
  const CDaoException e(MakeDaoScode(3343), u"");
  EXPECT_EQ(e.EngineError(), 3343);
}

}  // namespace
