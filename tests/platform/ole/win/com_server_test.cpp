// The automation runtime under COM, in the build's Wine prefix: the server registered with /RegServer,
// started by COM on the first CreateObject, called by VBScript (cscript) and by a C++ client through
// IDispatch. Every wait is bounded; a server that does not end on WM_CLOSE fails the case.
#include <gtest/gtest.h>
#include <ole2.h>
#include <oleauto.h>
#include <tlhelp32.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "com_test_data.h"
#include "platform/ole/win/com_bridge.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr wchar_t kProgId[] = L"Mivo.DataBase.OLEServer";
constexpr wchar_t kClsid[] = L"{6D1B7C2E-4A35-4F0B-9C8E-3E5A2D7F1B40}";

// ASCII only (names, keys, numbers).
std::string Ascii(const std::wstring& s) { return std::string(s.begin(), s.end()); }

// A path the build names (a host path under Wine) as this process sees it.
std::wstring DosPath(const char* path) {
  using ToDos = WCHAR*(CDECL*)(const char*);
  const auto to_dos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  WCHAR* dos = to_dos && path[0] == '/' ? to_dos(path) : nullptr;
  if (dos == nullptr) return fs::path(path).wstring();
  std::wstring out = dos;
  HeapFree(GetProcessHeap(), 0, dos);
  return out;
}

// A started program with stdout and stderr in a file; killed at destruction when still running.
class Program {
 public:
  Program(std::wstring command_line, const fs::path& output) : output_(output) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;  // no input: a server COM starts inherits these
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      process_ = pi.hProcess;
      CloseHandle(pi.hThread);
    }
    CloseHandle(out);
  }
  ~Program() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
    if (process_) CloseHandle(process_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The exit code when it ended within 30 s, else -1 (it is killed).
  long Wait() {
    DWORD code = 0;
    if (!process_ || WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0) return -1;
    GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
  }
  std::string Output() const {
    std::ifstream f(output_, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }
  // Every "<label>=<value>" line of the output.
  std::map<std::string, std::string> Results() const {
    std::map<std::string, std::string> lines;
    std::istringstream out(Output());
    for (std::string line; std::getline(out, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (const std::size_t eq = line.find('='); eq != std::string::npos)
        lines[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return lines;
  }

 private:
  fs::path output_;
  HANDLE process_ = nullptr;
};

// The process ids of the running servers (the real one and the test target's).
std::set<DWORD> ServerPids() {
  std::set<DWORD> pids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"mivodb.exe") == 0 ||
        _wcsicmp(entry.szExeFile, L"com_test_server.exe") == 0)
      pids.insert(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return pids;
}

template <class Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = 30s) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Asks every running server to end (WM_CLOSE to its window); true when all ended in time. Those that
// did not are killed.
bool StopServers() {
  const auto* window_class = reinterpret_cast<const wchar_t*>(mivo::ole::com::kServerWindowClass);
  for (HWND w = nullptr; (w = FindWindowExW(HWND_MESSAGE, w, window_class, nullptr)) != nullptr;)
    PostMessageW(w, WM_CLOSE, 0, 0);
  if (WaitFor([] { return ServerPids().empty(); }, 10s)) return true;
  for (DWORD pid : ServerPids()) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
      TerminateProcess(process, 99);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  }
  return false;
}

// VARIANT arguments (each owned by the call that takes it).
VARIANT Text(const wchar_t* text) {
  VARIANT v = {};
  v.vt = VT_BSTR;
  v.bstrVal = text ? SysAllocString(text) : nullptr;
  return v;
}
VARIANT Number(VARTYPE vt, double value) {
  VARIANT v = {};
  v.vt = vt;
  if (vt == VT_I2) v.iVal = static_cast<SHORT>(value);
  if (vt == VT_I4) v.lVal = static_cast<LONG>(value);
  if (vt == VT_R8) v.dblVal = value;
  if (vt == VT_BOOL) v.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}
VARIANT Ref(BSTR* text) {
  VARIANT v = {};
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = text;
  return v;
}

struct Call {
  HRESULT hr = E_FAIL;
  VARIANT result = {};
  UINT arg_err = 0xFFFF;
  std::wstring source, description;  // of an exception
  SCODE scode = 0;
  ~Call() { VariantClear(&result); }
  std::wstring text() const { return result.vt == VT_BSTR && result.bstrVal ? result.bstrVal : L"(no text)"; }
};

// IDispatch::Invoke with `args` in declaration order (cleared afterwards) and `named` named arguments.
void Invoke(IDispatch* d, DISPID id, std::vector<VARIANT> args, Call* out, WORD flags = DISPATCH_METHOD,
            UINT named = 0) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID named_ids[1] = {0};
  DISPPARAMS params = {reversed.data(), named ? named_ids : nullptr, static_cast<UINT>(reversed.size()),
                       named};
  EXCEPINFO excep = {};
  out->hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out->result, &excep, &out->arg_err);
  out->source = excep.bstrSource ? excep.bstrSource : L"";
  out->description = excep.bstrDescription ? excep.bstrDescription : L"";
  out->scode = excep.scode;
  for (BSTR b : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(b);
  for (VARIANT& v : args) VariantClear(&v);  // a reference leaves its storage alone
}

// A fresh folder, `server` registered with /RegServer, and an apartment on this thread; at the end the
// servers are stopped, `server` is unregistered and the folder goes.
class ComTest : public ::testing::Test {
 protected:
  explicit ComTest(const char* server) : server_(DosPath(server)) {}

  void SetUp() override {
    SetEnvironmentVariableW(L"MIVODB_REPORTS", L"stderr");  // the servers COM starts inherit it
    StopServers();
    ASSERT_TRUE(ServerPids().empty()) << "a server of an earlier run is still there";
    static int count = 0;
    dir_ = fs::temp_directory_path() /
           ("mivo-com-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void Register() {
    ASSERT_EQ(RunServer(L"/RegServer"), 0) << output_;
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    com_ = true;
  }
  void TearDown() override {
    if (com_) CoUninitialize();
    EXPECT_TRUE(StopServers()) << "a server did not end on WM_CLOSE; it was killed";
    RunServer(L"/UnregServer");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs the server with one switch to its end: its exit code (-1 when it did not end in time).
  long RunServer(const std::wstring& option) {
    Program server(L"\"" + server_ + L"\" " + option, dir_ / "server.out");
    const long code = server.Wait();
    output_ = server.Output();
    return code;
  }
  // A new object through the programmatic identifier (CLSIDFromProgID, CoCreateInstance); null on failure.
  static IDispatch* CreateObject() {
    CLSID clsid = {};
    IDispatch* d = nullptr;
    if (FAILED(CLSIDFromProgID(kProgId, &clsid))) return nullptr;
    CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d));
    return d;
  }

  std::wstring server_;
  fs::path dir_;
  std::string output_;
  bool com_ = false;
};

// The real server over databases and settings the test writes.
class ComServerTest : public ComTest {
 protected:
  ComServerTest() : ComTest(MIVODB_SERVER_EXE) {}
  void SetUp() override {
    ComTest::SetUp();
    if (HasFatalFailure()) return;
    mivo::test::com::WriteServerData(dir_.string());
    Register();
  }
  void TearDown() override {
    ComTest::TearDown();
    mivo::test::com::DeleteServerSettings();
  }

  std::unique_ptr<Program> StartScript(const char* script, const std::wstring& args, const char* output) {
    const std::wstring path = DosPath(MIVODB_COM_TEST_SCRIPTS) + L"\\" + fs::path(script).wstring();
    return std::make_unique<Program>(L"cscript.exe //nologo \"" + path + L"\" " + args, dir_ / output);
  }
  // reg query KEY /v NAME (/ve for an empty name): its exit code, the output in *out.
  long RegQuery(const std::wstring& key, const std::wstring& name, std::string* out) {
    Program reg(L"reg.exe query \"" + key + L"\" " + (name.empty() ? L"/ve" : L"/v " + name),
                dir_ / "reg.out");
    const long code = reg.Wait();
    *out = reg.Output();
    return code;
  }
};

TEST_F(ComServerTest, RegServerWritesTheClassEntriesAndUnregServerRemovesThem) {
  const std::wstring progid = kProgId, clsid = kClsid;
  const std::pair<std::wstring, std::wstring> entries[] = {
      {L"HKCR\\" + progid + L"\\CLSID", clsid},
      {L"HKCR\\CLSID\\" + clsid + L"\\LocalServer32", server_},
      {L"HKCR\\CLSID\\" + clsid + L"\\ProgID", progid},
  };
  std::string out;
  for (const auto& [key, value] : entries) {
    EXPECT_EQ(RegQuery(key, L"", &out), 0) << Ascii(key) << ": " << out;
    EXPECT_NE(out.find("REG_SZ    " + Ascii(value)), std::string::npos) << Ascii(key) << ": " << out;
  }
  EXPECT_EQ(RegQuery(L"HKLM\\Software\\Mivotec\\DataBase", L"AppName", &out), 0) << "version record: " << out;
  CLSID id = {};
  wchar_t text[40] = {};
  ASSERT_EQ(CLSIDFromProgID(kProgId, &id), S_OK);
  StringFromGUID2(id, text, 40);
  EXPECT_EQ(std::wstring(text), clsid);

  ASSERT_EQ(RunServer(L"/UnregServer"), 0) << output_;
  for (const std::wstring& key : {L"HKCR\\" + progid, L"HKCR\\CLSID\\" + clsid})
    EXPECT_NE(RegQuery(key, L"", &out), 0) << Ascii(key) << " is still there: " << out;
  EXPECT_NE(RegQuery(L"HKLM\\Software\\Mivotec\\DataBase", L"AppName", &out), 0) << "version record: " << out;
  EXPECT_TRUE(FAILED(CLSIDFromProgID(kProgId, &id)));
}

TEST_F(ComServerTest, VbscriptCallsEveryMethodAndSeesAutomationErrors) {
  // Texts outside ASCII go in as arguments; the script compares them (its output is ASCII only).
  auto script = StartScript("methods.vbs", L"\"Привет\" \"こんにちは\"", "methods.out");
  ASSERT_EQ(script->Wait(), 0) << script->Output();
  const auto results = script->Results();
  const std::pair<const char*, const char*> expected[] = {
      {"charset", "0"},
      {"Greeting", "Hello"},
      {"OnlyGerman", "Nur Deutsch"},  // from the fallback language
      {"Missing", "Missing"},
      {"lower case name", "Hello"},
      {"GetLanguageString2", "True"},
      {"GetLanguageString2 text", "Hello"},
      {"GetLanguageString2 missing", "False"},
      {"GetLanguageString2 missing text", "Missing"},
      {"SetLanguage 0419", "True"},
      {"charset 0419", "204"},
      {"Greeting 0419", "<argument 0>"},
      {"OnlyGerman 0419", "Nur Deutsch"},
      {"SetLanguage 0411", "True"},
      {"charset 0411", "128"},
      {"Greeting 0411", "<argument 1>"},
      {"SetLanguage 0407", "True"},
      {"Greeting 0407", "Hallo"},
      {"SetLanguage 0409", "True"},
      {"charset 0409", "0"},
      {"Host", "localhost"},
      {"GetConfigString2 missing", "False"},
      {"GetConfigString2 missing value", ""},
      {"SetConfigString", "True"},
      {"Timeout", "30"},
      {"RefreshConfDB", "True"},
      {"GetConfigString2", "True"},
      {"GetConfigString2 value", "30"},
      {"AddLogLine", "False"},
      {"RefreshLangDB", "True"},
      {"Greeting after RefreshLangDB", "Hello"},
      {"SetLanguage text", "error 13"},  // type mismatch
      {"SetLanguage 70000", "error 6"},  // overflow
      {"GetLanguageString one argument", "error 450"},
      {"NoSuchMethod", "error 438"},
      {"charset after errors", "0"},
  };
  for (const auto& [label, value] : expected) {
    ASSERT_TRUE(results.count(label)) << "no result for " << label << " in:\n" << script->Output();
    EXPECT_EQ(results.at(label), value) << label;
  }
  EXPECT_EQ(
      mivo::test::com::QueryColumn((dir_ / "conf.db").string(),
                                   "SELECT m.String FROM Items i JOIN Messages m ON m.ItemId = i.ItemId "
                                   "WHERE i.Module = 'Server' AND i.KeyString = 'Timeout'"),
      std::vector<std::string>{"30"});
}

TEST_F(ComServerTest, ScriptsShareOneServerThatKeepsItsStoresAfterTheLastRelease) {
  const fs::path release = dir_ / "release.flag";
  auto holder = StartScript("client.vbs", L"hold \"" + release.wstring() + L"\"", "holder.out");
  ASSERT_TRUE(WaitFor([&] { return holder->Results()["Greeting"] == "Hello"; })) << holder->Output();
  const std::set<DWORD> server = ServerPids();
  ASSERT_EQ(server.size(), 1u);

  auto second = StartScript("client.vbs", L"", "second.out");
  EXPECT_EQ(second->Wait(), 0) << second->Output();
  EXPECT_EQ(second->Results()["Greeting"], "Hello");
  EXPECT_EQ(ServerPids(), server) << "the second client is served by the same process";
  std::ofstream(release).put('x');
  EXPECT_EQ(holder->Wait(), 0) << holder->Output();

  // No client holds an object now. The server goes on with the texts it loaded: a change of the file
  // shows only after RefreshLangDB.
  mivo::test::com::ExecSql((dir_ / "lang.db").string(),
                           "UPDATE Messages SET String = 'Changed' WHERE String = 'Hello'");
  EXPECT_EQ(ServerPids(), server);
  auto third = StartScript("client.vbs", L"refresh", "third.out");
  EXPECT_EQ(third->Wait(), 0) << third->Output();
  EXPECT_EQ(third->Results()["Greeting"], "Hello");
  EXPECT_EQ(third->Results()["Greeting after RefreshLangDB"], "Changed");
  EXPECT_EQ(ServerPids(), server);
}

TEST_F(ComServerTest, CppClientCallsThroughIDispatch) {
  IDispatch* d = CreateObject();
  ASSERT_NE(d, nullptr);
  UINT count = 99;
  ITypeInfo* info = nullptr;
  IUnknown* other = nullptr;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u) << "no type information";
  EXPECT_TRUE(FAILED(d->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)));
  EXPECT_EQ(d->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&other)), E_NOINTERFACE);

  const wchar_t* names[] = {
      L"setlanguage",     L"GETLANGUAGESTRING", L"GetLanguageString2", L"AddLogLine",    L"setConfigString",
      L"GetConfigString", L"getconfigstring2",  L"GetCurCharsetCode",  L"RefreshConfDB", L"REFRESHLANGDB"};
  for (DISPID want = 1; want <= 10; ++want) {
    LPOLESTR name = const_cast<LPOLESTR>(names[want - 1]);
    DISPID id = 0;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK) << Ascii(name);
    EXPECT_EQ(id, want) << Ascii(name);
  }
  LPOLESTR with_parameter[] = {const_cast<LPOLESTR>(L"GetLanguageString"), const_cast<LPOLESTR>(L"module")};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, with_parameter, 2, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);

  Call greeting, found, set, charset;
  Invoke(d, 2, {Text(L"Demo"), Text(L"Greeting")}, &greeting, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  EXPECT_EQ(greeting.hr, S_OK);
  EXPECT_EQ(greeting.text(), L"Hello");
  BSTR out = SysAllocString(L"old");
  Invoke(d, 3, {Ref(&out), Text(L"Demo"), Text(L"Greeting")}, &found);
  EXPECT_EQ(found.hr, S_OK);
  EXPECT_EQ(found.result.vt, VT_BOOL);
  EXPECT_EQ(found.result.boolVal, VARIANT_TRUE);
  EXPECT_EQ(std::wstring(out ? out : L"(null)"), L"Hello") << "the caller's BSTR is replaced";
  SysFreeString(out);
  // Arguments of other types are converted to the declared ones: the text "1049" to VT_I2, 1 to VT_BOOL.
  Invoke(d, 1, {Text(L"1049"), Number(VT_I4, 1)}, &set);
  EXPECT_EQ(set.hr, S_OK);
  Invoke(d, 8, {}, &charset, DISPATCH_PROPERTYGET);
  EXPECT_EQ(charset.result.vt, VT_I2);
  EXPECT_EQ(charset.result.iVal, 204);

  // Refused calls, in the order of the checks. A conversion error names its argument, counted in rgvarg
  // (the last argument is 0); kAny: not looked at (across processes an untouched value arrives as 0).
  constexpr UINT kAny = 0xFFFF;
  struct Refused {
    const char* what;
    DISPID id;
    WORD flags;
    UINT named;
    std::vector<VARIANT> args;
    HRESULT hr;
    UINT arg_err;
  };
  Refused refused[] = {
      {"unknown DISPID", 99, DISPATCH_METHOD, 0, {}, DISP_E_MEMBERNOTFOUND, kAny},
      {"property put",
       1,
       DISPATCH_PROPERTYPUT,
       0,
       {Number(VT_I2, 1), Number(VT_BOOL, 0)},
       DISP_E_MEMBERNOTFOUND,
       kAny},
      {"named argument",
       1,
       DISPATCH_METHOD,
       1,
       {Number(VT_I2, 1), Number(VT_BOOL, 0)},
       DISP_E_NONAMEDARGS,
       kAny},
      {"one argument of two", 2, DISPATCH_METHOD, 0, {Text(L"Demo")}, DISP_E_BADPARAMCOUNT, kAny},
      {"text for VT_I2", 1, DISPATCH_METHOD, 0, {Text(L"abc"), Number(VT_BOOL, 0)}, DISP_E_TYPEMISMATCH, 1},
      {"70000 for VT_I2",
       1,
       DISPATCH_METHOD,
       0,
       {Number(VT_I4, 70000), Number(VT_BOOL, 0)},
       DISP_E_OVERFLOW,
       1},
      {"by value for a reference",
       3,
       DISPATCH_METHOD,
       0,
       {Text(L"old"), Text(L"M"), Text(L"K")},
       DISP_E_TYPEMISMATCH,
       2},
  };
  for (Refused& c : refused) {
    Call r;
    Invoke(d, c.id, std::move(c.args), &r, c.flags, c.named);
    EXPECT_EQ(r.hr, c.hr) << c.what;
    if (c.arg_err != kAny) {
      EXPECT_EQ(r.arg_err, c.arg_err) << c.what;
    }
  }

  // The cost of one late-bound call across processes (reported, not asserted).
  constexpr int kCalls = 2000;
  int ok = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    Call r;
    Invoke(d, 2, {Text(L"Demo"), Text(L"Greeting")}, &r);
    ok += r.hr == S_OK;
  }
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(ok, kCalls);
  std::printf("[ LATENCY  ] GetLanguageString through IDispatch: %.1f us per call\n", us / kCalls);
  RecordProperty("us_per_call", std::to_string(us / kCalls));
  d->Release();
}

// The test target (tests/platform/ole/test_target.h) in a server of its own under the same programmatic
// identifier: exceptions of members, which the real server's members do not throw.
class TestTargetTest : public ComTest {
 protected:
  TestTargetTest() : ComTest(MIVODB_COM_TEST_SERVER_EXE) {}
  void SetUp() override {
    ComTest::SetUp();
    if (!HasFatalFailure()) Register();
  }
};

TEST_F(TestTargetTest, ExceptionsCrossIDispatchInExcepInfo) {
  IDispatch* d = CreateObject();
  ASSERT_NE(d, nullptr);
  Call empty_text, usable;
  Invoke(d, 2, {Text(L""), Text(L"K")}, &empty_text);
  EXPECT_EQ(empty_text.text(), L"/K");

  struct Thrown {
    const char* what;
    DISPID id;
    std::vector<VARIANT> args;
    const wchar_t* description;
    SCODE scode;
  };
  Thrown thrown[] = {
      {"std::runtime_error", 5, {Text(L"throw"), Text(L"Mod"), Text(L"K")}, L"refused Mod", E_FAIL},
      {"std::bad_alloc", 5, {Text(L"oom"), Text(L"Mod"), Text(L"K")}, nullptr, E_OUTOFMEMORY},
      {"no std::exception", 10, {}, L"Unknown exception in RefreshLangDB", E_FAIL},
  };
  for (Thrown& t : thrown) {
    Call r;
    Invoke(d, t.id, std::move(t.args), &r);
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION) << t.what;
    EXPECT_EQ(r.source, L"CTestTarget") << t.what;
    if (t.description) {
      EXPECT_EQ(r.description, t.description) << t.what;
    }
    EXPECT_EQ(r.scode, t.scode) << t.what;
  }
  Invoke(d, 8, {}, &usable);
  EXPECT_EQ(usable.hr, S_OK) << "the object stays usable";
  d->Release();
}

}  // namespace
