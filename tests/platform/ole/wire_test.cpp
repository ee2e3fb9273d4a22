// The wire codec that the server and the client share: each VARTYPE's form on the bus and back.
#include "platform/ole/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// A message to build and read back in memory: its connection is one end of a socket pair that is never
// used (sd-bus makes messages only on an open connection).
struct Message {
  sd_bus* bus = nullptr;
  sd_bus_message* m = nullptr;
  Message() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    other_end_ = fds[1];
    EXPECT_GE(sd_bus_new(&bus), 0);
    EXPECT_GE(sd_bus_set_fd(bus, fds[0], fds[0]), 0);
    EXPECT_GE(sd_bus_start(bus), 0);
    EXPECT_GE(sd_bus_message_new_method_call(bus, &m, "a.b", "/a", "a.b", "M"), 0);
  }
  ~Message() {
    sd_bus_message_unref(m);
    ::close(other_end_);
    sd_bus_close_unref(bus);  // without a flush: nothing is ever sent
  }
  // Makes the message readable from its start.
  void Seal() {
    ASSERT_GE(sd_bus_message_seal(m, 1, 0), 0);
    ASSERT_GE(sd_bus_message_rewind(m, 1), 0);
  }
  std::string Signature() { return sd_bus_message_get_signature(m, 1); }

 private:
  int other_end_ = -1;
};

bool SameValue(const VARIANT& a, const VARIANT& b) {
  return a.vt == b.vt && a.llVal == b.llVal && a.ullVal == b.ullVal && a.dblVal == b.dblVal &&
         a.bstrVal == b.bstrVal;
}

TEST(WireVariantForm, EveryVarTypeHasItsDbusTypeAndReadsBackAsTheVarTypeThatTypeStandsFor) {
  BSTR storage = CString(u"by ref");
  VARIANT i1 = VARIANT::I2(-5);
  i1.vt = VT_I1;
  VARIANT r4 = VARIANT::R8(0.5);
  r4.vt = VT_R4;
  VARIANT error;
  error.vt = VT_ERROR;
  struct Case {
    VARIANT value;
    const char* contents;  // what the variant holds on the wire
    VARIANT back;          // what a reader gets
  } cases[] = {
      {VARIANT::UI1(200), "y", VARIANT::UI1(200)},
      {i1, "n", VARIANT::I2(-5)},
      {VARIANT::I2(-32768), "n", VARIANT::I2(-32768)},
      {VARIANT::UI2(65535), "q", VARIANT::UI2(65535)},
      {VARIANT::I4(-7), "i", VARIANT::I4(-7)},
      {VARIANT::UI4(4000000000U), "u", VARIANT::UI4(4000000000U)},
      {VARIANT::I8(-1LL << 40), "x", VARIANT::I8(-1LL << 40)},
      {VARIANT::UI8(1ULL << 63), "t", VARIANT::UI8(1ULL << 63)},
      {r4, "d", VARIANT::R8(0.5)},
      {VARIANT::Date(45000.25), "d", VARIANT::R8(45000.25)},
      {VARIANT::Bool(true), "b", VARIANT::Bool(true)},
      {VARIANT::Bstr(u"Grüße"), "s", VARIANT::Bstr(u"Grüße")},
      {VARIANT::NullBstr(), "(u)", VARIANT::NullBstr()},
      {VARIANT::Empty(), "(u)", VARIANT::Empty()},
      {VARIANT::Null(), "(u)", VARIANT::Null()},
      {error, "(u)", error},
      {VARIANT::ByRefBstr(&storage), "(s)", VARIANT::Bstr(u"by ref")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("vt " + std::to_string(c.value.vt));
    Message msg;
    ASSERT_GE(mivo::ole::wire::AppendVariant(msg.m, c.value), 0);
    msg.Seal();
    char type = 0;
    const char* contents = nullptr;
    ASSERT_GT(sd_bus_message_peek_type(msg.m, &type, &contents), 0);
    EXPECT_EQ(type, 'v');
    EXPECT_STREQ(contents, c.contents);
    VARIANT read;
    EXPECT_EQ(mivo::ole::wire::ReadVariant(msg.m, &read, nullptr), 1);
    EXPECT_TRUE(SameValue(read, c.back)) << "read back as vt " << read.vt;
  }
}

TEST(WireVariantForm, AByReferenceStringGetsStorageAndOtherDbusTypesReadAsAnErrorValue) {
  Message msg;
  ASSERT_GE(sd_bus_message_append(msg.m, "vv", "(s)", "text", "as", 1, "x"), 0);
  msg.Seal();
  std::deque<BSTR> storage;
  VARIANT by_ref, other;
  ASSERT_EQ(mivo::ole::wire::ReadVariant(msg.m, &by_ref, &storage), 1);
  ASSERT_EQ(by_ref.vt, VT_BSTR | VT_BYREF);
  ASSERT_EQ(by_ref.pbstrVal, &storage.back());
  EXPECT_EQ(*storage.back(), u"text");
  EXPECT_EQ(mivo::ole::wire::ReadVariant(msg.m, &other, &storage), 0);
  EXPECT_EQ(other.vt, VT_ERROR);

  VARIANT currency;
  currency.vt = VT_CY;
  EXPECT_EQ(mivo::ole::wire::AppendVariant(msg.m, currency), -EINVAL);
}

TEST(WireTypedForm, AMembersSignaturesComeFromItsDeclaredTypesWithByReferenceValuesAfterTheResult) {
  const AFX_DISPMAP_ENTRY entry{"M", 1, VT_BOOL, VTS_PBSTR VTS_I2 VTS_DATE VTS_I4, nullptr};
  std::string in, out;
  ASSERT_TRUE(mivo::ole::wire::TypedSignatures(entry, &in, &out));
  EXPECT_EQ(in, "sndi");
  EXPECT_EQ(out, "bs");

  Message msg;
  BSTR text = CString(u"in");
  const std::vector<VARIANT> values{VARIANT::ByRefBstr(&text), VARIANT::I2(3), VARIANT::Date(2.5),
                                    VARIANT::I4(-9)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_GE(mivo::ole::wire::AppendTyped(msg.m, static_cast<unsigned char>(entry.lpvtParams[i]), values[i]),
              0);
  }
  EXPECT_EQ(msg.Signature(), in);
  msg.Seal();
  const std::vector<VARIANT> expected{VARIANT::Bstr(u"in"), VARIANT::I2(3), VARIANT::Date(2.5),
                                      VARIANT::I4(-9)};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    VARIANT read;
    ASSERT_GE(mivo::ole::wire::ReadTyped(msg.m, static_cast<unsigned char>(entry.lpvtParams[i]), &read), 0);
    EXPECT_TRUE(SameValue(read, expected[i])) << "parameter " << i;
  }
  VARIANT past_the_end;
  EXPECT_LT(mivo::ole::wire::ReadTyped(msg.m, VT_I4, &past_the_end), 0) << "a missing value is an error";

  const AFX_DISPMAP_ENTRY untyped{"N", 2, VT_EMPTY, "\x04", nullptr};  // VT_R4 has no typed form
  EXPECT_FALSE(mivo::ole::wire::TypedSignatures(untyped, &in, &out));
}

}  // namespace
