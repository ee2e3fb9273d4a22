// One server process for every client: shared state, the object count, and a process that outlives its
// last object.
#include <gtest/gtest.h>

#include <regex>

#include "integration/server_fixture.h"

namespace mivo::test {
namespace {

class Lifetime : public ServerTest {
 protected:
  // Waits until the object count reaches `expected` (the server learns of a leaving client a moment after
  // it has left); returns the last count read.
  std::uint32_t WaitForCount(std::uint32_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    std::uint32_t count = client().ObjectCount();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
      client().ProcessPending(50ms);
      count = client().ObjectCount();
    }
    return count;
  }
};

TEST_F(Lifetime, TwoClientsShareOneProcessAndOneCurrentLanguage) {
  auto a = NewClient();
  auto b = NewClient();
  const std::string obj_a = a->CreateInstance();
  const std::string obj_b = b->CreateInstance();
  EXPECT_NE(obj_a, obj_b);
  EXPECT_EQ(a->NameOwner(kServiceName), b->NameOwner(kServiceName));

  EXPECT_EQ(b->GetLanguageString(obj_b, u"Demo", u"Greeting"), u"Hello");
  EXPECT_TRUE(a->SetLanguage(obj_a, 0x0419, true));
  EXPECT_EQ(b->GetLanguageString(obj_b, u"Demo", u"Greeting"), U(kRussianHello));
  EXPECT_EQ(b->GetCurCharsetCode(obj_b), 204);

  EXPECT_TRUE(b->SetConfigString(obj_b, u"shared", u"Mod", u"Key"));
  EXPECT_EQ(a->GetConfigString(obj_a, u"Mod", u"Key"), u"shared");
}

TEST_F(Lifetime, ObjectPathsCountUpAndAreNeverReused) {
  const std::regex shape("/Mivo/DataBase/OLEServer/([0-9]+)");
  std::vector<int> numbers;
  for (int i = 0; i < 3; ++i) {
    const std::string path = client().CreateInstance();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(path, m, shape)) << path;
    numbers.push_back(std::stoi(m[1]));
    client().Release(path);
  }
  EXPECT_LT(numbers[0], numbers[1]);
  EXPECT_LT(numbers[1], numbers[2]);
  EXPECT_GE(numbers[0], 1);
}

TEST_F(Lifetime, ObjectCountFollowsCreateInstanceReleaseAndAClientLeaving) {
  EXPECT_EQ(client().ObjectCount(), 0u) << "the class object holds no lock";
  const std::string first = client().CreateInstance();
  const std::string second = client().CreateInstance();
  EXPECT_EQ(client().ObjectCount(), 2u);

  auto leaving = NewClient();
  leaving->CreateInstance();
  leaving->CreateInstance();
  EXPECT_EQ(client().ObjectCount(), 4u);

  client().Release(first);
  EXPECT_EQ(client().ObjectCount(), 3u);
  EXPECT_THROW(client().GetLanguageString(first, u"Demo", u"Greeting"), ole::BusError)
      << "a released object is gone";
  EXPECT_EQ(client().GetLanguageString(second, u"Demo", u"Greeting"), u"Hello");

  client().Release(kClassObjectPath);
  EXPECT_EQ(client().ObjectCount(), 3u) << "Release on the class object does nothing";

  leaving.reset();  // the client leaves the bus; its two objects are dropped
  EXPECT_EQ(WaitForCount(1), 1u);
  client().Release(second);
  EXPECT_EQ(client().ObjectCount(), 0u);
}

TEST_F(Lifetime, AfterTheLastReleaseTheSameProcessKeepsServingWithItsState) {
  std::string obj = client().CreateInstance();
  const pid_t pid = ServerPid();
  EXPECT_TRUE(client().SetLanguage(obj, 0x0419, true));
  EXPECT_TRUE(client().SetConfigString(obj, u"kept", u"Mod", u"Key"));
  client().Release(obj);
  EXPECT_EQ(client().ObjectCount(), 0u);

  // A server that ended after its last object would be gone now, or be replaced by a new one on the next
  // call. Give it the chance to do that before looking.
  client().ProcessPending(300ms);
  auto later = NewClient();
  obj = later->CreateInstance();
  EXPECT_EQ(static_cast<pid_t>(later->NameOwnerPid(kServiceName)), pid);
  EXPECT_EQ(later->GetLanguageString(obj, u"Demo", u"Greeting"), U(kRussianHello));
  EXPECT_EQ(later->GetConfigString(obj, u"Mod", u"Key"), u"kept");
  EXPECT_EQ(later->ObjectCount(), 1u);
}

TEST_F(Lifetime, TheClassIdPropertyMatchesTheRegistration) {
  const std::string class_id = client().ClassId();
  EXPECT_TRUE(std::regex_match(class_id, std::regex("\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}")))
      << class_id;
  std::string registered;
  ASSERT_TRUE(GetRegString(true, "Software\\Classes\\Mivo.DataBase.OLEServer\\CLSID", "", registered));
  EXPECT_EQ(registered, class_id);
}

}  // namespace
}  // namespace mivo::test
