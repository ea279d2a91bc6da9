// moviectl.dll under Wine: created from its file, driven by member name, its events received
// through a connection point, drawn into memory DCs, activated in a window, started from a
// property bag.
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "swf_builder.h"

using namespace swftest;

namespace {

const CLSID kClsid = {0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID kEventsIid = {0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// Kinds of view of the view-object calls, and the result for a kind the control does not draw.
constexpr DWORD kContentView = 1, kIconView = 4;
constexpr HRESULT kOtherViewKind = static_cast<HRESULT>(0x8004006BL);
constexpr DISPID kFsCommand = 150, kReadyStateChange = -609, kProgress = 0x7a6;

std::string narrow(BSTR b) {
  std::string s;
  for (UINT i = 0; b && i < SysStringLen(b); ++i) s += static_cast<char>(b[i]);
  return s;
}

VARIANT str(const std::wstring& s) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s.c_str());
  return v;
}
VARIANT num(long n) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}
VARIANT real(double d) {
  VARIANT v;
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}
VARIANT flag(bool b) {
  VARIANT v;
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// Event sink: records FSCommand calls and the numeric events; optionally runs a reaction to a
// command inside the handler, as a projector's script would.
class Sink : public IDispatch {
 public:
  std::vector<std::pair<std::string, std::string>> calls;
  std::vector<std::pair<DISPID, long>> events;  // ready-state and progress, in order
  std::function<void(const std::string&)> onCommand;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kEventsIid) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id == kFsCommand && p && p->cArgs == 2 && p->rgvarg[0].vt == VT_BSTR && p->rgvarg[1].vt == VT_BSTR) {
      calls.emplace_back(narrow(p->rgvarg[1].bstrVal), narrow(p->rgvarg[0].bstrVal));
      if (onCommand) onCommand(calls.back().first);
    } else if ((id == kReadyStateChange || id == kProgress) && p && p->cArgs == 1 && p->rgvarg[0].vt == VT_I4) {
      events.emplace_back(id, p->rgvarg[0].lVal);
    }
    return S_OK;
  }
};

// Property bag of texts for IPersistPropertyBag.
class Bag : public IPropertyBag {
 public:
  std::map<std::wstring, std::wstring> values;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* v, IErrorLog*) override {
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    *v = str(it->second);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* v) override {
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, v, 0, VT_BSTR))) return E_FAIL;
    values[name] = t.bstrVal ? t.bstrVal : L"";
    VariantClear(&t);
    return S_OK;
  }
};

// 32-bit top-down DIB in a memory DC.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bmp = nullptr;
  HGDIOBJ old = nullptr;
  uint32_t* bits = nullptr;
  int w, h;
  Canvas(int width, int height) : w(width), h(height) {
    dc = CreateCompatibleDC(nullptr);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* p = nullptr;
    bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<uint32_t*>(p);
    old = SelectObject(dc, bmp);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
  }
  void fill(uint32_t rgb) {
    for (int i = 0; i < w * h; ++i) bits[i] = rgb;
  }
  uint32_t at(int x, int y) {
    GdiFlush();
    return bits[y * w + x] & 0xFFFFFF;
  }
};

constexpr uint32_t kRed = 0xFF0000, kWhite = 0xFFFFFF, kBlack = 0, kGreen = 0x00FF00;

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    lib = LoadLibraryW(L"moviectl.dll");
    ASSERT_TRUE(lib);
    auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(lib, "DllGetClassObject")));
    canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(lib, "DllCanUnloadNow")));
    ASSERT_TRUE(get && canUnload);
    IClassFactory* f = nullptr;
    ASSERT_EQ(get(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
    f->Release();
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(disp->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    ASSERT_EQ(cpc->FindConnectionPoint(kEventsIid, &cp), S_OK);
    cpc->Release();
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    tempDir = dir;
  }
  void TearDown() override {
    deactivate();
    if (cp) {
      cp->Unadvise(cookie);
      cp->Release();
    }
    if (disp) disp->Release();
    if (parent) DestroyWindow(parent);
    if (canUnload) {
      EXPECT_EQ(canUnload(), S_OK);
    }
    CoUninitialize();
  }

  DISPID id(const wchar_t* name) {
    DISPID d = DISPID_UNKNOWN;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &d), S_OK) << "member " << name;
    return d;
  }
  // Invokes a member with arguments given first to last.
  HRESULT call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr, WORD flags = DISPATCH_METHOD,
               UINT* argErr = nullptr) {
    std::vector<VARIANT> rev(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS dp{rev.data(), nullptr, static_cast<UINT>(rev.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      dp.rgdispidNamedArgs = &putId;
      dp.cNamedArgs = 1;
    }
    HRESULT hr = disp->Invoke(id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, nullptr, argErr);
    for (auto& v : args) VariantClear(&v);
    return hr;
  }
  HRESULT put(const wchar_t* name, VARIANT v) { return call(name, {v}, nullptr, DISPATCH_PROPERTYPUT); }
  // A property or method result as text ("" and the HRESULT in *hr on failure).
  std::string text(const wchar_t* member, std::vector<VARIANT> args = {}, HRESULT* hr = nullptr) {
    VARIANT r;
    VariantInit(&r);
    HRESULT h = call(member, std::move(args), &r, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    if (hr) *hr = h;
    std::string s;
    if (SUCCEEDED(h) && SUCCEEDED(VariantChangeType(&r, &r, VARIANT_ALPHABOOL, VT_BSTR))) s = narrow(r.bstrVal);
    VariantClear(&r);
    return s;
  }
  long number(const wchar_t* member, std::vector<VARIANT> args = {}) {
    VARIANT r;
    VariantInit(&r);
    EXPECT_EQ(call(member, std::move(args), &r, DISPATCH_PROPERTYGET | DISPATCH_METHOD), S_OK) << "member " << member;
    VariantChangeType(&r, &r, 0, VT_I4);
    return r.lVal;
  }

  std::wstring writeFile(const std::wstring& name, const Bytes& swf) {
    std::wstring path = tempDir + name;
    std::ofstream f(path.c_str(), std::ios::binary);
    f.write(reinterpret_cast<const char*>(swf.data()), static_cast<std::streamsize>(swf.size()));
    return path;
  }

  // A red stage-filling rectangle; frame 1 sends a command, sets a variable and stops; frame 2
  // (label "lbl") sends another command.
  std::wstring writeMovie() {
    Tags t;
    t.tag(9, {255, 255, 255});
    t.rectShape(1, 11000, 8000, 255, 0, 0);
    t.place(1, 1, "");
    Asm a;
    a.fscommand("hello", "world").push("v").push(5.0).setVar().stop();
    t.doAction(a).showFrame();
    t.label("lbl").doAction(Asm().fscommand("called", "lbl")).showFrame();
    return writeFile(L"moviectl_test.swf", movie(t, 7, 2));
  }

  // Three frames on a white stage with a red rectangle over its left quarter and a two-frame
  // sprite "clip". Frame 1 copies the variable "a" (given by the host) to "seen" and sends
  // "start"; each frame sets "where" to its name; frame 2 has the label "two".
  std::wstring writeTimeline(const std::wstring& name = L"moviectl_timeline.swf", const std::string& tagName = "") {
    Tags t;
    t.tag(9, {255, 255, 255});
    t.rectShape(1, 2750, 8000, 255, 0, 0);
    t.place(1, 1, "");
    Tags body;
    body.showFrame().showFrame();
    t.sprite(2, 2, body);
    t.place(2, 2, "clip");
    Asm first;
    first.push("seen").push("a").getVar().setVar();
    first.push("where").push("one").setVar();
    first.fscommand("start", tagName);
    t.doAction(first).showFrame();
    t.label("two").doAction(Asm().push("where").push("two").setVar()).showFrame();
    t.doAction(Asm().push("where").push("three").setVar()).showFrame();
    return writeFile(name, movie(t, 7, 3));
  }

  // Activates the control in place in a parent window of its own (client w x h).
  HWND activate(int w = 110, int h = 80) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ParentProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MovieCtlTestParent";
    RegisterClassW(&wc);
    parent = CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                             wc.hInstance, nullptr);
    EXPECT_TRUE(parent);
    EXPECT_EQ(disp->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
    RECT pos{0, 0, w, h};
    EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, parent, &pos), S_OK);
    IOleInPlaceObject* ip = nullptr;
    EXPECT_EQ(disp->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&ip)), S_OK);
    HWND child = nullptr;
    ip->GetWindow(&child);
    ip->Release();
    return child;
  }
  void deactivate() {
    if (ole) {
      ole->Close(OLECLOSE_NOSAVE);
      ole->Release();
      ole = nullptr;
    }
  }
  static LRESULT CALLBACK ParentProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CONTEXTMENU) ++parentMenus;
    return DefWindowProcW(h, msg, wp, lp);
  }
  // Frame ticks, as the control's timer gives them.
  static void tick(HWND child, int n = 1) {
    for (int i = 0; i < n; ++i) SendMessageW(child, WM_TIMER, 1, 0);
  }

  HRESULT draw(IViewObject* view, Canvas& c, DWORD kind = kContentView) {
    RECTL r{0, 0, c.w, c.h};
    return view->Draw(kind, -1, nullptr, nullptr, nullptr, c.dc, &r, nullptr, nullptr, 0);
  }

  HMODULE lib = nullptr;
  HRESULT(STDAPICALLTYPE* canUnload)() = nullptr;
  IDispatch* disp = nullptr;
  IConnectionPoint* cp = nullptr;
  IOleObject* ole = nullptr;
  HWND parent = nullptr;
  DWORD cookie = 0;
  Sink sink;
  std::wstring tempDir;
  static inline int parentMenus = 0;
};

}  // namespace

TEST_F(Control, LoadsByPathRaisesCommandsAndAnswersVariables) {
  EXPECT_EQ(canUnload(), S_FALSE);
  std::wstring path = writeMovie();
  ASSERT_EQ(put(L"Movie", str(path)), S_OK);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0], std::make_pair(std::string("hello"), std::string("world")));
  EXPECT_EQ(number(L"TotalFrames"), 2);
  EXPECT_EQ(number(L"PercentLoaded"), 100);
  EXPECT_EQ(number(L"CurrentFrame"), 0);
  EXPECT_EQ(text(L"Movie"), std::string(path.begin(), path.end()));

  HRESULT hr;
  EXPECT_EQ(text(L"GetVariable", {str(L"v")}, &hr), "5");
  EXPECT_EQ(hr, S_OK);
  text(L"GetVariable", {str(L"never_set")}, &hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(call(L"SetVariable", {str(L"/:w"), str(L"from host")}), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"_root.w")}), "from host");
  EXPECT_EQ(call(L"SetVariable", {str(L"no.such.clip.w"), str(L"x")}), E_FAIL);

  EXPECT_EQ(call(L"TCallLabel", {str(L"/"), str(L"lbl")}), S_OK);
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[1].first, "called");
  EXPECT_EQ(number(L"CurrentFrame"), 0);  // calling a label does not move the playhead
  EXPECT_TRUE(FAILED(call(L"TCallLabel", {str(L"/"), str(L"missing")})));

  EXPECT_EQ(call(L"GotoFrame", {num(1)}), S_OK);
  EXPECT_EQ(number(L"CurrentFrame"), 1);
  EXPECT_EQ(sink.calls.size(), 3u);

  DISPID bad;
  LPOLESTR n = const_cast<LPOLESTR>(L"NoSuchMember");
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &bad), DISP_E_UNKNOWNNAME);
  // A movie that cannot be read fails and leaves the current one in place.
  EXPECT_EQ(put(L"Movie", str(L"C:\\no\\such\\movie.swf")), E_FAIL);
  EXPECT_EQ(number(L"TotalFrames"), 2);
  EXPECT_EQ(text(L"GetVariable", {str(L"v")}), "5");
}

// Every member the projector uses answers by name, case-insensitively, with a distinct id;
// read-only properties and methods refuse to be written.
TEST_F(Control, EveryMemberAnswersByNameWithItsAccess) {
  enum Access { Get, GetPut, Method };
  const std::pair<const wchar_t*, Access> members[] = {
      {L"ReadyState", Get},       {L"TotalFrames", Get},      {L"Playing", GetPut},        {L"Quality", GetPut},
      {L"ScaleMode", GetPut},     {L"AlignMode", GetPut},     {L"BackgroundColor", GetPut}, {L"Loop", GetPut},
      {L"Movie", GetPut},         {L"FrameNum", GetPut},      {L"WMode", GetPut},          {L"SAlign", GetPut},
      {L"Menu", GetPut},          {L"Base", GetPut},          {L"Scale", GetPut},          {L"DeviceFont", GetPut},
      {L"EmbedMovie", GetPut},    {L"BGColor", GetPut},       {L"Quality2", GetPut},       {L"SWRemote", GetPut},
      {L"FlashVars", GetPut},     {L"AllowScriptAccess", GetPut}, {L"SetZoomRect", Method}, {L"Zoom", Method},
      {L"Pan", Method},           {L"Play", Method},          {L"Stop", Method},           {L"Back", Method},
      {L"Forward", Method},       {L"Rewind", Method},        {L"StopPlay", Method},       {L"GotoFrame", Method},
      {L"CurrentFrame", Method},  {L"IsPlaying", Method},     {L"PercentLoaded", Method},  {L"FrameLoaded", Method},
      {L"FlashVersion", Method},  {L"LoadMovie", Method},     {L"TGotoFrame", Method},     {L"TGotoLabel", Method},
      {L"TCurrentFrame", Method}, {L"TCurrentLabel", Method}, {L"TPlay", Method},          {L"TStopPlay", Method},
      {L"SetVariable", Method},   {L"GetVariable", Method},   {L"TSetProperty", Method},   {L"TGetProperty", Method},
      {L"TCallFrame", Method},    {L"TCallLabel", Method},    {L"TSetPropertyNum", Method}, {L"TGetPropertyNum", Method},
      {L"TGetPropertyAsNumber", Method}};
  std::map<DISPID, std::wstring> seen;
  for (auto& [name, access] : members) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    DISPID d = id(name);
    ASSERT_NE(d, DISPID_UNKNOWN);
    EXPECT_TRUE(seen.emplace(d, name).second) << "id shared with another member";
    std::wstring lower(name);
    for (auto& c : lower) c = towlower(c);
    EXPECT_EQ(id(lower.c_str()), d);
    if (access != GetPut) {
      EXPECT_EQ(put(name, num(1)), DISP_E_MEMBERNOTFOUND);
    } else if (wcscmp(name, L"FrameNum") != 0) {
      VARIANT r;
      VariantInit(&r);
      EXPECT_EQ(call(name, {}, &r, DISPATCH_PROPERTYGET), S_OK);
      EXPECT_NE(r.vt, VT_EMPTY);
      VariantClear(&r);
    }
  }
  EXPECT_EQ(disp->Invoke(0x7fff, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(id(L"TotalFrames"), IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

// Written values read back in their own and in their mirrored form; values outside a
// property's range are refused and change nothing.
TEST_F(Control, PropertiesRoundTripAndRefuseBadValues) {
  struct Case {
    const wchar_t* member;
    VARIANT value;
    HRESULT expect;
    const wchar_t* readBack;
    std::string text;
  };
  std::vector<Case> cases = {
      {L"Quality2", str(L"medium"), S_OK, L"Quality2", "Medium"},
      {L"Quality2", str(L"medium"), S_OK, L"Quality", "4"},
      {L"Quality", num(0), S_OK, L"Quality2", "Low"},
      {L"Quality", num(3), S_OK, L"Quality2", "AutoHigh"},
      {L"Quality", num(9), E_INVALIDARG, L"Quality", "3"},
      {L"Quality", str(L"best"), DISP_E_TYPEMISMATCH, L"Quality", "3"},
      {L"Quality2", str(L"ultra"), E_INVALIDARG, L"Quality2", "AutoHigh"},
      {L"Scale", str(L"noscale"), S_OK, L"ScaleMode", "3"},
      {L"ScaleMode", num(2), S_OK, L"Scale", "ExactFit"},
      {L"ScaleMode", num(4), E_INVALIDARG, L"ScaleMode", "2"},
      {L"Scale", str(L"fill"), E_INVALIDARG, L"Scale", "ExactFit"},
      {L"SAlign", str(L"lt"), S_OK, L"AlignMode", "5"},
      {L"AlignMode", num(10), S_OK, L"SAlign", "BR"},
      {L"AlignMode", num(3), E_INVALIDARG, L"AlignMode", "10"},
      {L"SAlign", str(L"TB"), E_INVALIDARG, L"SAlign", "BR"},
      {L"SAlign", str(L"X"), E_INVALIDARG, L"SAlign", "BR"},
      {L"SAlign", str(L""), S_OK, L"AlignMode", "0"},
      {L"BGColor", str(L"#00ff80"), S_OK, L"BackgroundColor", std::to_string(0x00FF80)},
      {L"BackgroundColor", num(0x123456), S_OK, L"BGColor", "#123456"},
      {L"BGColor", str(L"blue"), E_INVALIDARG, L"BGColor", "#123456"},
      {L"BackgroundColor", num(0x1000000), E_INVALIDARG, L"BackgroundColor", std::to_string(0x123456)},
      {L"BackgroundColor", num(-1), S_OK, L"BGColor", ""},
      {L"WMode", str(L"transparent"), S_OK, L"WMode", "Transparent"},
      {L"WMode", str(L"glass"), E_INVALIDARG, L"WMode", "Transparent"},
      {L"Loop", flag(false), S_OK, L"Loop", "False"},
      {L"Menu", flag(false), S_OK, L"Menu", "False"},
      {L"DeviceFont", flag(true), S_OK, L"DeviceFont", "True"},
      {L"EmbedMovie", num(1), S_OK, L"EmbedMovie", "True"},
      {L"Base", str(L"file:///C:/titles/"), S_OK, L"Base", "file:///C:/titles/"},
      {L"SWRemote", str(L"swContextMenu='FALSE'"), S_OK, L"SWRemote", "swContextMenu='FALSE'"},
      {L"FlashVars", str(L"a=1&b=2"), S_OK, L"FlashVars", "a=1&b=2"},
      {L"AllowScriptAccess", str(L"always"), S_OK, L"AllowScriptAccess", "always"},
      {L"Playing", str(L"maybe"), DISP_E_TYPEMISMATCH, L"Playing", "False"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.member, c.member + wcslen(c.member)));
    EXPECT_EQ(put(c.member, c.value), c.expect);
    EXPECT_EQ(text(c.readBack), c.text) << "read through " << std::string(c.readBack, c.readBack + wcslen(c.readBack));
  }
  EXPECT_EQ(number(L"ReadyState"), 0);
  EXPECT_EQ(number(L"FlashVersion") >> 16, 7);
}

// Methods that need a movie fail without one; arguments that are missing, of the wrong type or
// out of range are reported as such.
TEST_F(Control, MethodsReportMissingMovieAndBadArguments) {
  struct Case {
    const wchar_t* member;
    std::vector<VARIANT> args;
    HRESULT expect;
  };
  std::vector<Case> noMovie = {
      {L"Play", {}, E_FAIL},        {L"Stop", {}, E_FAIL},           {L"Rewind", {}, E_FAIL},
      {L"Back", {}, E_FAIL},        {L"Forward", {}, E_FAIL},        {L"GotoFrame", {num(0)}, E_FAIL},
      {L"CurrentFrame", {}, E_FAIL}, {L"Zoom", {num(50)}, E_FAIL},   {L"Pan", {num(1), num(1), num(0)}, E_FAIL},
      {L"SetZoomRect", {num(0), num(0), num(20), num(20)}, E_FAIL}, {L"GetVariable", {str(L"a")}, E_FAIL},
      {L"SetVariable", {str(L"a"), str(L"1")}, E_FAIL},            {L"TPlay", {str(L"/")}, E_FAIL},
      {L"TCurrentFrame", {str(L"/")}, E_FAIL},                      {L"TCurrentLabel", {str(L"/")}, E_FAIL},
  };
  for (auto& c : noMovie) {
    SCOPED_TRACE(std::string(c.member, c.member + wcslen(c.member)));
    EXPECT_EQ(call(c.member, c.args), c.expect);
  }
  EXPECT_EQ(number(L"TotalFrames"), 0);
  EXPECT_EQ(text(L"IsPlaying"), "False");

  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  std::vector<Case> bad = {
      {L"GotoFrame", {}, DISP_E_BADPARAMCOUNT},
      {L"GotoFrame", {num(-1)}, E_INVALIDARG},
      {L"TGotoFrame", {str(L"/")}, DISP_E_BADPARAMCOUNT},
      {L"LoadMovie", {num(-1), str(L"x.swf")}, E_INVALIDARG},
      {L"LoadMovie", {num(1), str(L"missing.swf")}, E_FAIL},
      {L"LoadMovie", {num(50000000), str(L"moviectl_timeline.swf")}, E_FAIL},  // no such level
      {L"SetZoomRect", {num(100), num(0), num(50), num(20)}, E_INVALIDARG},
      {L"Zoom", {num(-5)}, E_INVALIDARG},
      {L"Pan", {num(1), num(1), num(2)}, E_INVALIDARG},
      {L"Pan", {num(1), num(1)}, DISP_E_BADPARAMCOUNT},
      {L"TPlay", {str(L"/nowhere")}, E_FAIL},
      {L"TGetProperty", {str(L"/clip"), num(22)}, E_FAIL},
      {L"TGetProperty", {str(L"/nowhere"), num(0)}, E_FAIL},
      {L"TSetProperty", {str(L"/nowhere"), num(0), str(L"1")}, E_FAIL},
      {L"TCurrentFrame", {str(L"/nowhere")}, E_FAIL},
      {L"TGotoLabel", {str(L"/"), str(L"nolabel")}, E_FAIL},
      {L"TCallFrame", {str(L"/"), num(3)}, E_FAIL},
  };
  for (auto& c : bad) {
    SCOPED_TRACE(std::string(c.member, c.member + wcslen(c.member)));
    EXPECT_EQ(call(c.member, c.args), c.expect);
  }
  UINT argErr = 99;
  EXPECT_EQ(call(L"TGotoFrame", {str(L"/"), str(L"one")}, nullptr, DISPATCH_METHOD, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);  // the last argument sits first in the argument array
  EXPECT_EQ(number(L"CurrentFrame"), 0);  // none of the refused calls moved the movie
}

TEST_F(Control, TimelineAndTargetMembersFollowTheMovie) {
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  EXPECT_EQ(number(L"TotalFrames"), 3);
  EXPECT_EQ(text(L"IsPlaying"), "True");
  EXPECT_EQ(text(L"FrameLoaded", {num(2)}), "True");
  EXPECT_EQ(text(L"FrameLoaded", {num(3)}), "False");

  EXPECT_EQ(call(L"Stop", {}), S_OK);
  EXPECT_EQ(text(L"Playing"), "False");
  tick(child, 2);
  EXPECT_EQ(number(L"CurrentFrame"), 0);
  EXPECT_EQ(call(L"Play", {}), S_OK);
  tick(child);
  EXPECT_EQ(number(L"FrameNum"), 1);
  EXPECT_EQ(text(L"GetVariable", {str(L"where")}), "two");
  EXPECT_EQ(text(L"TCurrentLabel", {str(L"/")}), "two");

  EXPECT_EQ(call(L"Forward", {}), S_OK);
  EXPECT_EQ(number(L"CurrentFrame"), 2);
  EXPECT_EQ(text(L"IsPlaying"), "False");  // stepping stops the movie
  EXPECT_EQ(call(L"Forward", {}), S_OK);  // at the end it stays there
  EXPECT_EQ(number(L"CurrentFrame"), 2);
  EXPECT_EQ(call(L"Back", {}), S_OK);
  EXPECT_EQ(number(L"CurrentFrame"), 1);
  EXPECT_EQ(call(L"Rewind", {}), S_OK);
  EXPECT_EQ(number(L"CurrentFrame"), 0);
  EXPECT_EQ(put(L"FrameNum", num(2)), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"where")}), "three");
  EXPECT_EQ(call(L"GotoFrame", {num(50)}), S_OK);  // past the end: the last frame
  EXPECT_EQ(number(L"CurrentFrame"), 2);

  // Calling a frame runs its actions where the playhead is.
  EXPECT_EQ(call(L"TCallFrame", {str(L"/"), num(0)}), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"where")}), "one");
  EXPECT_EQ(number(L"CurrentFrame"), 2);
  EXPECT_EQ(call(L"TGotoLabel", {str(L"_root"), str(L"two")}), S_OK);
  EXPECT_EQ(number(L"TCurrentFrame", {str(L"/")}), 1);

  // The sprite's own timeline.
  EXPECT_EQ(call(L"TStopPlay", {str(L"/clip")}), S_OK);
  EXPECT_EQ(call(L"TGotoFrame", {str(L"/clip"), num(0)}), S_OK);
  EXPECT_EQ(number(L"TCurrentFrame", {str(L"/clip")}), 0);
  tick(child);  // stopped: stays
  EXPECT_EQ(number(L"TCurrentFrame", {str(L"/clip")}), 0);
  EXPECT_EQ(call(L"TGotoFrame", {str(L"/clip"), num(1)}), S_OK);
  EXPECT_EQ(number(L"TCurrentFrame", {str(L"_root.clip")}), 1);
  EXPECT_EQ(text(L"TGetProperty", {str(L"/clip"), num(4)}), "2");  // _currentframe is 1-based
  EXPECT_EQ(text(L"TGetProperty", {str(L"/clip"), num(13)}), "clip");
  EXPECT_EQ(call(L"TSetPropertyNum", {str(L"/clip"), num(0), real(12.5)}), S_OK);
  VARIANT r;
  VariantInit(&r);
  EXPECT_EQ(call(L"TGetPropertyNum", {str(L"/clip"), num(0)}, &r), S_OK);
  EXPECT_EQ(r.vt, VT_R8);
  EXPECT_DOUBLE_EQ(r.dblVal, 12.5);
  EXPECT_EQ(call(L"TSetProperty", {str(L"/clip"), num(1), str(L"7")}), S_OK);
  EXPECT_EQ(text(L"TGetProperty", {str(L"/clip"), num(1)}), "7");
  EXPECT_EQ(text(L"TGetPropertyAsNumber", {str(L"/clip"), num(1)}), "7");
}

// Without Loop the main timeline stops on its last frame; Play there starts it again. With Loop
// it goes round.
TEST_F(Control, LoopDecidesWhatHappensAtTheLastFrame) {
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  tick(child, 3);
  EXPECT_EQ(number(L"CurrentFrame"), 0);  // 1 -> 2 -> 3 -> 1
  EXPECT_EQ(put(L"Loop", flag(false)), S_OK);
  tick(child, 5);
  EXPECT_EQ(number(L"CurrentFrame"), 2);
  EXPECT_EQ(text(L"IsPlaying"), "False");
  EXPECT_EQ(call(L"Play", {}), S_OK);
  EXPECT_EQ(number(L"CurrentFrame"), 0);
  EXPECT_EQ(text(L"IsPlaying"), "True");
  EXPECT_EQ(text(L"GetVariable", {str(L"where")}), "one");
}

// Loading fires progress and ready-state events; unloading returns to the empty state.
TEST_F(Control, ReadyStateAndProgressEventsFollowLoading) {
  EXPECT_EQ(number(L"ReadyState"), 0);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  EXPECT_EQ(number(L"ReadyState"), 4);
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0], std::make_pair(kProgress, 100L));
  EXPECT_EQ(sink.events[1], std::make_pair(kReadyStateChange, 4L));
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].first, "start");

  // A second movie passes through the empty state.
  ASSERT_EQ(put(L"Movie", str(writeMovie())), S_OK);
  ASSERT_EQ(sink.events.size(), 5u);
  EXPECT_EQ(sink.events[2], std::make_pair(kReadyStateChange, 0L));
  EXPECT_EQ(sink.events[4], std::make_pair(kReadyStateChange, 4L));

  EXPECT_EQ(put(L"Movie", str(L"")), S_OK);
  EXPECT_EQ(number(L"ReadyState"), 0);
  EXPECT_EQ(number(L"TotalFrames"), 0);
  EXPECT_EQ(text(L"Movie"), "");
  EXPECT_EQ(sink.events.back(), std::make_pair(kReadyStateChange, 0L));
}

// A handler that replaces the movie while the movie's own command is being raised: the new
// movie arrives once the player has returned, and both commands are seen in order.
TEST_F(Control, MovieReplacedFromInsideItsOwnCommand) {
  std::wstring second = writeMovie();
  std::wstring first = writeTimeline();
  sink.onCommand = [&](const std::string& cmd) {
    if (cmd == "start") {
      EXPECT_EQ(put(L"Movie", str(second)), S_OK);
      EXPECT_EQ(put(L"Movie", str(L"C:\\no\\such.swf")), E_FAIL);  // still checked at once
      // The running movie is still the one that raised the command.
      EXPECT_EQ(text(L"GetVariable", {str(L"where")}), "one");
    }
  };
  ASSERT_EQ(put(L"Movie", str(first)), S_OK);
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[0].first, "start");
  EXPECT_EQ(sink.calls[1].first, "hello");
  EXPECT_EQ(text(L"Movie"), std::string(second.begin(), second.end()));
  EXPECT_EQ(number(L"TotalFrames"), 2);
  EXPECT_EQ(text(L"GetVariable", {str(L"v")}), "5");
}

// FlashVars and a URL's query reach the movie before its first frame; LoadMovie takes paths
// relative to the main movie's folder and an empty URL unloads the level.
TEST_F(Control, LoadsLevelsByRelativePathWithStartVariables) {
  EXPECT_EQ(put(L"FlashVars", str(L"a=two+words%21&b=2")), S_OK);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"seen")}), "two words!");
  EXPECT_EQ(text(L"GetVariable", {str(L"b")}), "2");

  writeTimeline(L"moviectl_level.swf", "level");
  ASSERT_EQ(call(L"LoadMovie", {num(3), str(L"moviectl_level.swf?a=7")}), S_OK);
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[1], std::make_pair(std::string("start"), std::string("level")));
  EXPECT_EQ(text(L"GetVariable", {str(L"_level3.seen")}), "7");
  EXPECT_EQ(number(L"TotalFrames"), 3);  // the main movie is unchanged
  EXPECT_EQ(text(L"GetVariable", {str(L"seen")}), "two words!");

  EXPECT_EQ(call(L"LoadMovie", {num(3), str(L"")}), S_OK);
  HRESULT hr;
  text(L"GetVariable", {str(L"_level3.seen")}, &hr);
  EXPECT_EQ(hr, E_FAIL);

  // Base, when set, is where relative paths start.
  EXPECT_EQ(put(L"Base", str(L"C:\\nowhere\\")), S_OK);
  EXPECT_EQ(call(L"LoadMovie", {num(3), str(L"moviectl_level.swf")}), E_FAIL);
  std::wstring base = L"file:///" + tempDir;
  for (auto& c : base)
    if (c == L'\\') c = L'/';
  EXPECT_EQ(put(L"Base", str(base)), S_OK);
  EXPECT_EQ(call(L"LoadMovie", {num(3), str(L"moviectl_level.swf")}), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"_level3.where")}), "one");
}

TEST_F(Control, DrawsBackgroundTransparencyZoomPanAndAlignment) {
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  IViewObjectEx* view = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IViewObjectEx, reinterpret_cast<void**>(&view)), S_OK);
  Canvas c(110, 80);  // 550 x 400 stage at a fifth: the red quarter is x < 27.5
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(10, 40), kRed);
  EXPECT_EQ(c.at(80, 40), kWhite);

  // The host's background colour shows where the movie draws nothing: the pair of draws a
  // transparent window needs.
  EXPECT_EQ(put(L"BackgroundColor", num(0)), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(80, 40), kBlack);
  EXPECT_EQ(c.at(10, 40), kRed);
  EXPECT_EQ(put(L"BackgroundColor", num(0xFFFFFF)), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(80, 40), kWhite);
  EXPECT_EQ(put(L"BackgroundColor", num(-1)), S_OK);

  // Transparent mode keeps what the DC already shows.
  DWORD status = 0;
  EXPECT_EQ(view->GetViewStatus(&status), S_OK);
  EXPECT_TRUE(status & VIEWSTATUS_OPAQUE);
  EXPECT_EQ(put(L"WMode", str(L"Transparent")), S_OK);
  EXPECT_EQ(view->GetViewStatus(&status), S_OK);
  EXPECT_FALSE(status & VIEWSTATUS_OPAQUE);
  c.fill(kGreen);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(80, 40), kGreen);
  EXPECT_EQ(c.at(10, 40), kRed);
  EXPECT_EQ(put(L"WMode", str(L"Opaque")), S_OK);
  c.fill(kGreen);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(80, 40), kWhite);

  // Zoom(50) shows the middle half: the red quarter leaves the view; panning left by half the
  // view brings it back, and panning further stops at the stage's edge.
  ASSERT_EQ(call(L"Zoom", {num(50)}), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(10, 40), kWhite);
  ASSERT_EQ(call(L"Pan", {num(-50), num(0), num(1)}), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(50, 40), kRed);
  EXPECT_EQ(c.at(60, 40), kWhite);
  ASSERT_EQ(call(L"Pan", {num(-100), num(0), num(1)}), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(50, 40), kRed);
  EXPECT_EQ(c.at(60, 40), kWhite);
  ASSERT_EQ(call(L"Pan", {num(30), num(0), num(0)}), S_OK);  // 30 output pixels to the right
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(20, 40), kRed);
  EXPECT_EQ(c.at(30, 40), kWhite);
  ASSERT_EQ(call(L"Zoom", {num(0)}), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(10, 40), kRed);
  EXPECT_EQ(c.at(30, 40), kWhite);
  // A zoom rectangle in twips fills the output with the red quarter's top.
  ASSERT_EQ(call(L"SetZoomRect", {num(0), num(0), num(2750), num(2000)}), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(105, 75), kRed);
  ASSERT_EQ(call(L"Zoom", {num(0)}), S_OK);

  // Without scaling the stage is centred (its left edge is off the output) unless aligned left.
  ASSERT_EQ(put(L"ScaleMode", num(3)), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(2, 40), kWhite);
  ASSERT_EQ(put(L"SAlign", str(L"L")), S_OK);
  ASSERT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(2, 40), kRed);

  RECTL backwards{50, 0, 10, 80};
  EXPECT_EQ(view->Draw(kContentView, -1, nullptr, nullptr, nullptr, c.dc, &backwards, nullptr, nullptr, 0),
            E_INVALIDARG);
  EXPECT_EQ(draw(view, c, kIconView), kOtherViewKind);
  SIZEL natural{};
  EXPECT_EQ(view->GetNaturalExtent(kContentView, -1, nullptr, nullptr, nullptr, &natural), S_OK);
  EXPECT_EQ(natural.cx, MulDiv(11000, 2540, 1440));
  EXPECT_EQ(natural.cy, MulDiv(8000, 2540, 1440));
  view->Release();
}

// The window maps mouse positions through the same view as drawing, zoom included.
TEST_F(Control, MousePositionsFollowTheView) {
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  SendMessageW(child, WM_MOUSEMOVE, 0, MAKELPARAM(11, 40));
  EXPECT_EQ(text(L"TGetProperty", {str(L"/"), num(20)}), "55");
  ASSERT_EQ(call(L"Zoom", {num(50)}), S_OK);
  SendMessageW(child, WM_MOUSEMOVE, 0, MAKELPARAM(11, 40));
  EXPECT_EQ(text(L"TGetProperty", {str(L"/"), num(20)}), "165");
  EXPECT_TRUE(SendMessageW(child, WM_GETDLGCODE, 0, 0) & DLGC_WANTARROWS);
}

// A button over the red quarter (DefineButton: one record for every state, character 1) whose
// release sends "clicked", clicked through the window's mouse messages.
TEST_F(Control, ClicksReachButtonsThroughTheView) {
  Tags t;
  t.tag(9, {255, 255, 255});
  t.rectShape(1, 2750, 8000, 255, 0, 0);
  Bytes button;
  u16(button, 3);
  u8(button, 0x0F);  // hit test, down, over and up states
  u16(button, 1);
  u16(button, 1);
  u8(button, 0);  // identity matrix
  u8(button, 0);  // end of records
  Bytes actions = Asm().fscommand("clicked", "").end();
  button.insert(button.end(), actions.begin(), actions.end());
  t.tag(7, button);
  t.place(3, 1, "btn");
  t.showFrame();
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeFile(L"moviectl_button.swf", movie(t, 7, 1)))), S_OK);
  auto click = [&](int x, int y) {
    LPARAM at = MAKELPARAM(x, y);
    SendMessageW(child, WM_MOUSEMOVE, 0, at);
    SendMessageW(child, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(child, WM_LBUTTONUP, 0, at);
  };
  click(80, 40);
  EXPECT_TRUE(sink.calls.empty());
  click(10, 40);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].first, "clicked");
  EXPECT_EQ(GetFocus(), child);
  // Zoomed on the right half, the same place of the window is no longer over the button.
  ASSERT_EQ(call(L"SetZoomRect", {num(5500), num(0), num(11000), num(8000)}), S_OK);
  click(10, 40);
  EXPECT_EQ(sink.calls.size(), 1u);
}

// Keys pressed on the window reach a button's key condition (DefineButton2, Enter).
TEST_F(Control, KeysReachTheMovie) {
  Tags t;
  t.rectShape(1, 2750, 8000, 255, 0, 0);
  Bytes button;
  u16(button, 3);
  u8(button, 0);       // not a menu
  u16(button, 2 + 7 + 1);  // to the first condition: this field, one record, its end mark
  u8(button, 0x0F);
  u16(button, 1);
  u16(button, 1);
  u8(button, 0);  // identity matrix
  u8(button, 0);  // colour transform without terms
  u8(button, 0);  // end of records
  u16(button, 0);  // last condition
  u16(button, 13u << 9);  // key: Enter
  Bytes actions = Asm().fscommand("key", "enter").end();
  button.insert(button.end(), actions.begin(), actions.end());
  t.tag(34, button);
  t.place(3, 1, "btn");
  t.showFrame();
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeFile(L"moviectl_keys.swf", movie(t, 7, 1)))), S_OK);
  SendMessageW(child, WM_KEYDOWN, 'A', 0x001E0001);
  SendMessageW(child, WM_KEYUP, 'A', 0xC01E0001);
  EXPECT_TRUE(sink.calls.empty());
  SendMessageW(child, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  SendMessageW(child, WM_KEYUP, VK_RETURN, 0xC01C0001);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0], std::make_pair(std::string("key"), std::string("enter")));
}

// The control's own window paints the movie's background even in transparent mode: what lies
// under it there is only its previous frame, which would otherwise smear.
TEST_F(Control, OwnWindowPaintsOpaqueInTransparentMode) {
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  ASSERT_EQ(put(L"WMode", str(L"Transparent")), S_OK);
  Canvas c(110, 80);
  c.fill(kGreen);
  SendMessageW(child, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(c.dc), PRF_CLIENT);
  EXPECT_EQ(c.at(80, 40), kWhite);
  EXPECT_EQ(c.at(10, 40), kRed);
}

// The context menu lists the movie's commands with their state, and its commands act on the
// movie. With Menu off the host gets the request instead.
TEST_F(Control, ContextMenuShowsStateAndCommandsAct) {
  HWND child = activate();
  ASSERT_TRUE(child);
  ASSERT_EQ(put(L"Movie", str(writeTimeline())), S_OK);
  std::map<std::wstring, std::pair<UINT, UINT>> items;  // text -> (id, state)
  std::atomic<bool> found{false};
  std::thread menuReader([&] {
    for (int i = 0; i < 200 && !found; ++i) {
      HWND popup = FindWindowW(L"#32768", nullptr);
      HMENU m = popup ? reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0)) : nullptr;
      if (m) {
        for (int k = 0; k < GetMenuItemCount(m); ++k) {
          wchar_t buf[64] = L"";
          if (GetMenuStringW(m, k, buf, 64, MF_BYPOSITION) > 0)
            items[buf] = {GetMenuItemID(m, k), GetMenuState(m, k, MF_BYPOSITION)};
        }
        found = true;
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        break;
      }
      Sleep(10);
    }
  });
  POINT pt{20, 20};
  ClientToScreen(child, &pt);
  SendMessageW(child, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(child), MAKELPARAM(pt.x, pt.y));
  menuReader.join();
  ASSERT_TRUE(found);
  for (const wchar_t* name : {L"Zoom In", L"Zoom Out", L"Show All", L"Low", L"Medium", L"High", L"Play", L"Loop",
                              L"Rewind", L"Forward", L"Back"})
    EXPECT_TRUE(items.count(name)) << std::string(name, name + wcslen(name));
  EXPECT_TRUE(items[L"Play"].second & MF_CHECKED);
  EXPECT_TRUE(items[L"Loop"].second & MF_CHECKED);
  EXPECT_TRUE(items[L"High"].second & MF_CHECKED);
  EXPECT_TRUE(items[L"Zoom Out"].second & MF_GRAYED);

  SendMessageW(child, WM_COMMAND, items[L"Loop"].first, 0);
  EXPECT_EQ(text(L"Loop"), "False");
  SendMessageW(child, WM_COMMAND, items[L"Play"].first, 0);
  EXPECT_EQ(text(L"IsPlaying"), "False");
  SendMessageW(child, WM_COMMAND, items[L"Forward"].first, 0);
  EXPECT_EQ(number(L"CurrentFrame"), 1);
  SendMessageW(child, WM_COMMAND, items[L"Low"].first, 0);
  EXPECT_EQ(text(L"Quality2"), "Low");

  int before = parentMenus;
  ASSERT_EQ(put(L"Menu", flag(false)), S_OK);
  SendMessageW(child, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(child), MAKELPARAM(pt.x, pt.y));
  EXPECT_EQ(parentMenus, before + 1);
}

// A container's property bag starts the control: the other properties are in force when the
// movie's first frame runs; saving writes them back.
TEST_F(Control, PropertyBagStartsTheMovie) {
  IPersistPropertyBag* persist = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&persist)), S_OK);
  Bag in;
  in.values[L"Movie"] = writeTimeline();
  in.values[L"FlashVars"] = L"a=from+bag";
  in.values[L"Loop"] = L"0";
  in.values[L"Quality2"] = L"low";
  EXPECT_EQ(persist->InitNew(), S_OK);
  ASSERT_EQ(persist->Load(&in, nullptr), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"seen")}), "from bag");
  EXPECT_EQ(text(L"Loop"), "False");
  EXPECT_EQ(number(L"Quality"), 0);

  Bag bad;
  bad.values[L"ScaleMode"] = L"9";
  EXPECT_EQ(persist->Load(&bad, nullptr), E_FAIL);
  EXPECT_EQ(number(L"ScaleMode"), 0);

  Bag out;
  ASSERT_EQ(persist->Save(&out, TRUE, TRUE), S_OK);
  EXPECT_EQ(out.values[L"Movie"], in.values[L"Movie"]);
  EXPECT_EQ(out.values[L"FlashVars"], L"a=from+bag");
  EXPECT_EQ(out.values[L"Quality2"], L"Low");
  persist->Release();
}

TEST_F(Control, DrawsIntoAMemoryDcAndActivatesInAWindow) {
  std::wstring path = writeMovie();
  ASSERT_EQ(put(L"Movie", str(path)), S_OK);
  IViewObject* view = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view)), S_OK);
  Canvas c(110, 80);
  EXPECT_EQ(draw(view, c), S_OK);
  EXPECT_EQ(c.at(55, 40), kRed);
  // A target far larger than any screen is drawn too (smaller, then stretched).
  Canvas big(5000, 4000);
  EXPECT_EQ(draw(view, big), S_OK);
  EXPECT_EQ(big.at(4990, 2000), kRed);
  // Captures draw into 24-bit bitmaps.
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = 40;
  bi.bmiHeader.biHeight = -30;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_TRUE(bmp && bits);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECTL r{0, 0, 40, 30};
  EXPECT_EQ(view->Draw(kContentView, -1, nullptr, nullptr, nullptr, dc, &r, nullptr, nullptr, 0), S_OK);
  GdiFlush();
  const uint8_t* px = static_cast<const uint8_t*>(bits) + 15 * 120 + 20 * 3;  // rows of 120 bytes, blue first
  EXPECT_EQ(px[0], 0);
  EXPECT_EQ(px[1], 0);
  EXPECT_EQ(px[2], 255);
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
  view->Release();

  HWND child = activate(220, 160);
  ASSERT_TRUE(child);
  EXPECT_EQ(GetParent(child), parent);
  RECT cr;
  GetClientRect(child, &cr);
  EXPECT_EQ(cr.right, 220);
  IOleInPlaceObject* ip = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&ip)), S_OK);
  EXPECT_EQ(ip->InPlaceDeactivate(), S_OK);
  EXPECT_FALSE(IsWindow(child));
  ip->Release();
}
