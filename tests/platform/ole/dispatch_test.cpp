// CCmdTarget: dispatch maps, GetIDsOfNames, Invoke, lifetime and the lock count; the class factory.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/ole/afxdisp.h"
#include "platform/ole/test_target.h"

namespace {

// A class that adds a member and replaces one of its base's.
class CDerivedTarget : public CTestTarget {
  DECLARE_DYNCREATE(CDerivedTarget)

 public:
  LONG Extra(LONG v) { return v * 2; }
  CString Replaced(const CString* module, const CString* key) { return u"replaced"; }

  DECLARE_DISPATCH_MAP()
};

IMPLEMENT_DYNCREATE(CDerivedTarget, CTestTarget)

BEGIN_DISPATCH_MAP(CDerivedTarget, CTestTarget)
  DISP_FUNCTION_ID(CDerivedTarget, "Extra", 11, Extra, VT_I4, VTS_I4)
  DISP_FUNCTION_ID(CDerivedTarget, "GetLanguageString", 2, Replaced, VT_BSTR, VTS_BSTR VTS_BSTR)
END_DISPATCH_MAP(CDerivedTarget, CTestTarget)

// Owns a target through its reference, as a client does.
struct Releaser {
  void operator()(CCmdTarget* t) const { t->ExternalRelease(); }
};
using TargetPtr = std::unique_ptr<CTestTarget, Releaser>;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { CTestTarget::Shared() = CTestTarget::State{}; }

  // Invokes dispid with args; the result, the argument error and the exception land in the members.
  HRESULT Call(DISPID dispid, std::vector<VARIANT> args) {
    result_ = VARIANT();
    info_ = EXCEPINFO();
    arg_err_ = 1000;
    return target_->Invoke(dispid, args, &result_, &info_, &arg_err_);
  }

  TargetPtr target_{new CTestTarget};
  VARIANT result_;
  EXCEPINFO info_;
  UINT arg_err_ = 1000;
};

TEST_F(DispatchTest, NamesMatchWithoutRegardToCase) {
  const std::vector<CString> names = {u"SetLanguage",      u"GETLANGUAGESTRING", u"getlanguagestring2",
                                      u"AddLogLine",       u"setConfigString",   u"GetConfigString",
                                      u"GetConfigString2", u"getcurcharsetcode", u"RefreshConfDB",
                                      u"REFRESHLANGDB"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::vector<DISPID> ids;
    ASSERT_EQ(target_->GetIDsOfNames({names[i]}, ids), S_OK) << AfxToUtf8(names[i]);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], static_cast<DISPID>(i + 1)) << AfxToUtf8(names[i]);
  }
}

TEST_F(DispatchTest, UnknownNamesAndParameterNamesGetMinusOne) {
  std::vector<DISPID> ids;
  EXPECT_EQ(target_->GetIDsOfNames({u"SetLanguages"}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids, std::vector<DISPID>({DISPID_UNKNOWN}));
  EXPECT_EQ(target_->GetIDsOfNames({u"SetLanguage", u"id", u"userFlag"}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids, std::vector<DISPID>({1, DISPID_UNKNOWN, DISPID_UNKNOWN}));
  EXPECT_EQ(target_->GetIDsOfNames({}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(ids.empty());
}

TEST_F(DispatchTest, ConvertsArgumentsToTheDeclaredTypes) {
  ASSERT_EQ(Call(1, {VARIANT::Bstr(u" 7 "), VARIANT::Bstr(u"True")}), S_OK);
  EXPECT_EQ(CTestTarget::Shared().language, 7);
  EXPECT_EQ(CTestTarget::Shared().user_flag, TRUE);  // the member sees TRUE, not VARIANT_TRUE
  EXPECT_EQ(result_.vt, VT_BOOL);
  EXPECT_EQ(result_.llVal, VARIANT_TRUE);

  ASSERT_EQ(Call(1, {VARIANT::R8(2.5), VARIANT::I4(0)}), S_OK);
  EXPECT_EQ(CTestTarget::Shared().language, 2);
  EXPECT_EQ(result_.llVal, VARIANT_FALSE);

  ASSERT_EQ(Call(8, {}), S_OK);
  EXPECT_EQ(result_.vt, VT_I2);
  EXPECT_EQ(result_.llVal, 2);

  ASSERT_EQ(Call(4, {VARIANT::Bstr(u"2024-03-05"), VARIANT::Bstr(u"3"), VARIANT::Empty(), VARIANT::Empty(),
                     VARIANT::I2(0), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty()}),
            S_OK);
  EXPECT_DOUBLE_EQ(CTestTarget::Shared().last_date, 45356.0);
  EXPECT_EQ(CTestTarget::Shared().last_level, 3);
  EXPECT_EQ(result_.llVal, VARIANT_FALSE);
}

TEST_F(DispatchTest, NullAndEmptyStringsArriveDifferently) {
  ASSERT_EQ(Call(2, {VARIANT::NullBstr(), VARIANT::Bstr(u"")}), S_OK);
  EXPECT_EQ(result_.vt, VT_BSTR);
  EXPECT_EQ(result_.bstrVal, CString(u"<null>/"));
  ASSERT_EQ(Call(2, {VARIANT::Empty(), VARIANT::I2(-4)}), S_OK);
  EXPECT_EQ(result_.bstrVal, CString(u"/-4"));
}

TEST_F(DispatchTest, ByReferenceStringIsReplacedInTheCallersStorage) {
  BSTR text = CString(u"old text that is longer");
  ASSERT_EQ(Call(3, {VARIANT::ByRefBstr(&text), VARIANT::Bstr(u"mod"), VARIANT::Bstr(u"key")}), S_OK);
  EXPECT_EQ(text, CString(u"mod/key"));
  EXPECT_EQ(result_.llVal, VARIANT_TRUE);

  BSTR value;  // a null BSTR passed by reference
  ASSERT_EQ(Call(7, {VARIANT::ByRefBstr(&value), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), S_OK);
  EXPECT_EQ(value, CString(u""));
  EXPECT_EQ(result_.llVal, VARIANT_FALSE);
}

TEST_F(DispatchTest, ByReferenceParameterIsNeverConverted) {
  BSTR text = CString(u"old");
  EXPECT_EQ(Call(3, {VARIANT::Bstr(u"old"), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 0u);
  EXPECT_EQ(Call(3, {VARIANT::I2(1), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 0u);
  EXPECT_EQ(Call(3, {VARIANT::ByRefBstr(nullptr), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 0u);
  EXPECT_EQ(text, CString(u"old"));
}

TEST_F(DispatchTest, ByValueParameterTakesTheValueOfAReference) {
  BSTR module = CString(u"mod");
  ASSERT_EQ(Call(2, {VARIANT::ByRefBstr(&module), VARIANT::Bstr(u"key")}), S_OK);
  EXPECT_EQ(result_.bstrVal, CString(u"mod/key"));
  EXPECT_EQ(module, CString(u"mod"));
}

TEST_F(DispatchTest, UnknownDispidIsMemberNotFound) {
  for (DISPID id : {0, 11, -1, 1000}) EXPECT_EQ(Call(id, {}), DISP_E_MEMBERNOTFOUND) << id;
}

TEST_F(DispatchTest, WrongArgumentCountIsRejectedBeforeConversion) {
  EXPECT_EQ(Call(1, {VARIANT::I2(1)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(1, {VARIANT::I2(1), VARIANT::Bool(true), VARIANT::Bool(true)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(8, {VARIANT::I2(1)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(1, {VARIANT::Null()}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CTestTarget::Shared().language, 0);
}

TEST_F(DispatchTest, ConversionFailuresNameTheFirstBadArgumentFromZero) {
  EXPECT_EQ(Call(1, {VARIANT::I4(70000), VARIANT::Bool(true)}), DISP_E_OVERFLOW);
  EXPECT_EQ(arg_err_, 0u);
  EXPECT_EQ(Call(1, {VARIANT::I2(5), VARIANT::Bstr(u"maybe")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 1u);
  EXPECT_EQ(Call(1, {VARIANT::Bstr(u"x"), VARIANT::Bstr(u"maybe")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 0u);
  EXPECT_EQ(Call(4, {VARIANT::Date(1), VARIANT::I2(1), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Bstr(u"x"),
                     VARIANT::Empty(), VARIANT::Empty(), VARIANT::Empty(), VARIANT::Null()}),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 4u);
  EXPECT_EQ(Call(6, {VARIANT::Bstr(u"m"), VARIANT::Null()}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err_, 1u);
  // The member never ran.
  EXPECT_EQ(CTestTarget::Shared().language, 0);
  EXPECT_DOUBLE_EQ(CTestTarget::Shared().last_date, 0);
}

TEST_F(DispatchTest, ExceptionInAMemberBecomesDispException) {
  ASSERT_EQ(Call(5, {VARIANT::Bstr(u"throw"), VARIANT::Bstr(u"mod"), VARIANT::Bstr(u"key")}), DISP_E_EXCEPTION);
  EXPECT_EQ(info_.bstrDescription, CString(u"refused mod"));
  EXPECT_EQ(info_.bstrSource, CString(u"CTestTarget"));
  EXPECT_EQ(info_.scode, E_FAIL);

  ASSERT_EQ(Call(5, {VARIANT::Bstr(u"oom"), VARIANT::Bstr(u"mod"), VARIANT::Bstr(u"key")}), DISP_E_EXCEPTION);
  EXPECT_EQ(info_.scode, E_OUTOFMEMORY);

  ASSERT_EQ(Call(10, {}), DISP_E_EXCEPTION);
  EXPECT_EQ(info_.bstrDescription, CString(u"Unknown exception in RefreshLangDB"));
}

TEST_F(DispatchTest, TargetStaysUsableAfterAnException) {
  ASSERT_EQ(Call(5, {VARIANT::Bstr(u"throw"), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), DISP_E_EXCEPTION);
  ASSERT_EQ(Call(5, {VARIANT::Bstr(u"v"), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), S_OK);
  ASSERT_EQ(Call(6, {VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")}), S_OK);
  EXPECT_EQ(result_.bstrVal, CString(u"v"));
}

TEST_F(DispatchTest, OptionalOutputsMayBeNull) {
  std::vector<VARIANT> args = {VARIANT::Bstr(u"throw"), VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")};
  EXPECT_EQ(target_->Invoke(5, args, nullptr, nullptr, nullptr), DISP_E_EXCEPTION);
  std::vector<VARIANT> bad = {VARIANT::Bstr(u"x"), VARIANT::Bool(true)};
  EXPECT_EQ(target_->Invoke(1, bad, nullptr, nullptr, nullptr), DISP_E_TYPEMISMATCH);
  std::vector<VARIANT> good = {VARIANT::I2(3), VARIANT::Bool(true)};
  EXPECT_EQ(target_->Invoke(1, good, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(CTestTarget::Shared().language, 3);
}

TEST(DispatchMap, ListsTheDeclaredTypesInMapOrder) {
  CTestTarget target;
  const std::vector<const AFX_DISPMAP_ENTRY*> entries = target.GetDispEntries();
  ASSERT_EQ(entries.size(), 10u);
  for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i]->lDispID, static_cast<DISPID>(i + 1));
  EXPECT_EQ(entries[2]->vtReturn, VT_BOOL);
  EXPECT_EQ(std::string(entries[2]->lpvtParams), std::string(VTS_PBSTR VTS_BSTR VTS_BSTR));
  EXPECT_EQ(entries[7]->vtReturn, VT_I2);
  EXPECT_EQ(std::string(entries[7]->lpvtParams), "");
  EXPECT_EQ(std::string(entries[3]->lpvtParams).size(), 9u);
}

TEST(DispatchMap, DerivedMapAddsAndReplacesBaseMembers) {
  std::unique_ptr<CDerivedTarget, Releaser> target(new CDerivedTarget);
  std::vector<DISPID> ids;
  ASSERT_EQ(target->GetIDsOfNames({u"extra"}, ids), S_OK);
  EXPECT_EQ(ids[0], 11);
  ASSERT_EQ(target->GetIDsOfNames({u"GetCurCharsetCode"}, ids), S_OK);
  EXPECT_EQ(ids[0], 8);
  std::vector<VARIANT> args = {VARIANT::Bstr(u"21")};
  VARIANT result;
  ASSERT_EQ(target->Invoke(11, args, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.llVal, 42);
  args = {VARIANT::Bstr(u"m"), VARIANT::Bstr(u"k")};
  ASSERT_EQ(target->Invoke(2, args, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.bstrVal, CString(u"replaced"));
  EXPECT_EQ(target->GetDispEntries().size(), 11u);  // the replaced base entry is hidden
}

TEST(DispatchMap, TargetWithoutAutomationHasNoMembers) {
  CCmdTarget plain;
  EXPECT_FALSE(plain.IsAutomationEnabled());
  std::vector<DISPID> ids;
  EXPECT_EQ(plain.GetIDsOfNames({u"SetLanguage"}, ids), DISP_E_UNKNOWNNAME);
  std::vector<VARIANT> none;
  EXPECT_EQ(plain.Invoke(1, none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

TEST(Lifetime, LastReleaseCallsOnFinalReleaseAndGivesBackTheLock) {
  CTestTarget::Shared() = CTestTarget::State{};
  const LONG before = AfxOleGetLockCount();
  auto* target = new CTestTarget;
  EXPECT_EQ(AfxOleGetLockCount(), before + 1);
  EXPECT_EQ(target->ExternalAddRef(), 2u);
  EXPECT_EQ(target->ExternalRelease(), 1u);
  EXPECT_EQ(CTestTarget::Shared().final_releases, 0);
  EXPECT_EQ(AfxOleGetLockCount(), before + 1);
  EXPECT_EQ(target->ExternalRelease(), 0u);  // deletes the target
  EXPECT_EQ(CTestTarget::Shared().final_releases, 1);
  EXPECT_EQ(AfxOleGetLockCount(), before);
}

TEST(Lifetime, LockCountNeverGoesBelowZero) {
  const LONG before = AfxOleGetLockCount();
  for (LONG i = 0; i < before + 2; ++i) AfxOleUnlockApp();
  EXPECT_EQ(AfxOleGetLockCount(), 0);
  AfxOleLockApp();
  EXPECT_EQ(AfxOleGetLockCount(), 1);
  AfxOleUnlockApp();
  for (LONG i = 0; i < before; ++i) AfxOleLockApp();
}

TEST(ClassFactory, CreatesObjectsOfItsClassThroughDynamicCreation) {
  const LONG before = AfxOleGetLockCount();
  CCmdTarget* object = TestFactory().CreateObject();
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(object->IsKindOf(RUNTIME_CLASS(CTestTarget)));
  EXPECT_EQ(AfxOleGetLockCount(), before + 1);
  object->ExternalRelease();
  EXPECT_EQ(AfxOleGetLockCount(), before);
}

TEST(ClassFactory, ClassThatCannotBeCreatedGivesNull) {
  COleObjectFactory not_creatable(kTestClsid, RUNTIME_CLASS(CCmdTarget), FALSE, u"Mivo.Test.NotCreatable");
  EXPECT_EQ(not_creatable.CreateObject(), nullptr);
  COleObjectFactory no_target(kTestClsid, RUNTIME_CLASS(CObject), FALSE, u"Mivo.Test.NoTarget");
  EXPECT_EQ(no_target.CreateObject(), nullptr);
}

TEST(ClassFactory, FactoriesListThemselvesWhileTheyLive) {
  const auto& all = COleObjectFactory::Factories();
  const std::size_t before = all.size();
  EXPECT_NE(std::find(all.begin(), all.end(), &TestFactory()), all.end());
  {
    COleObjectFactory temporary(kTestClsid, RUNTIME_CLASS(CTestTarget), FALSE, u"Mivo.Test.Temporary");
    EXPECT_EQ(all.size(), before + 1);
    EXPECT_EQ(all.back(), &temporary);
  }
  EXPECT_EQ(all.size(), before);
}

TEST(ClassFactory, ClassIdIsWrittenInRegistryForm) {
  EXPECT_EQ(StringFromCLSID(kTestClsid), CString(u"{6A1C9F3E-0B7D-4E52-9C1A-2F4D8E6B7A10}"));
  const CLSID small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 0xAB}};
  EXPECT_EQ(StringFromCLSID(small), CString(u"{00000001-0002-0003-0001-0203040506AB}"));
}

}  // namespace
