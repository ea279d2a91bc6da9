// moviectl.dll under Wine: created from its file, driven by member name, its FSCommand
// event received through a connection point, drawn into a memory DC, activated in a window.
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "swf_builder.h"

using namespace swftest;

namespace {

const CLSID kClsid = {0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID kEventsIid = {0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

std::string narrow(BSTR b) {
  std::string s;
  for (UINT i = 0; b && i < SysStringLen(b); ++i) s += static_cast<char>(b[i]);
  return s;
}

// Event sink that records FSCommand calls.
class Sink : public IDispatch {
 public:
  std::vector<std::pair<std::string, std::string>> calls;
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
    if (id == 150 && p && p->cArgs == 2 && p->rgvarg[0].vt == VT_BSTR && p->rgvarg[1].vt == VT_BSTR)
      calls.emplace_back(narrow(p->rgvarg[1].bstrVal), narrow(p->rgvarg[0].bstrVal));
    return S_OK;
  }
};

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
  }
  void TearDown() override {
    if (cp) {
      cp->Unadvise(cookie);
      cp->Release();
    }
    if (disp) disp->Release();
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
  // Calls a member with string/number arguments given first to last.
  HRESULT call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr, WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> rev(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{rev.data(), nullptr, static_cast<UINT>(rev.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      dp.rgdispidNamedArgs = &put;
      dp.cNamedArgs = 1;
    }
    HRESULT hr = disp->Invoke(id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, nullptr, nullptr);
    for (auto& v : args) VariantClear(&v);
    return hr;
  }
  static VARIANT str(const wchar_t* s) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
  }
  static VARIANT num(long n) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = n;
    return v;
  }
  std::string text(const wchar_t* member, std::vector<VARIANT> args, HRESULT* hr = nullptr) {
    VARIANT r;
    VariantInit(&r);
    HRESULT h = call(member, std::move(args), &r);
    if (hr) *hr = h;
    std::string s = r.vt == VT_BSTR ? narrow(r.bstrVal) : std::string();
    VariantClear(&r);
    return s;
  }
  long number(const wchar_t* member) {
    VARIANT r;
    VariantInit(&r);
    EXPECT_EQ(call(member, {}, &r, DISPATCH_PROPERTYGET | DISPATCH_METHOD), S_OK);
    VariantChangeType(&r, &r, 0, VT_I4);
    return r.lVal;
  }

  // Writes the test movie: a red stage-filling rectangle; frame 1 sends a command, sets a
  // variable and stops; frame 2 (label "lbl") sends another command.
  std::wstring writeMovie() {
    Tags t;
    t.tag(9, {255, 255, 255});
    t.rectShape(1, 11000, 8000, 255, 0, 0);
    t.place(1, 1, "");
    Asm a;
    a.fscommand("hello", "world").push("v").push(5.0).setVar().stop();
    t.doAction(a).showFrame();
    t.label("lbl").doAction(Asm().fscommand("called", "lbl")).showFrame();
    Bytes swf = movie(t, 7, 2);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"moviectl_test.swf";
    std::ofstream f(path.c_str(), std::ios::binary);
    f.write(reinterpret_cast<const char*>(swf.data()), static_cast<std::streamsize>(swf.size()));
    return path;
  }

  HMODULE lib = nullptr;
  HRESULT(STDAPICALLTYPE* canUnload)() = nullptr;
  IDispatch* disp = nullptr;
  IConnectionPoint* cp = nullptr;
  DWORD cookie = 0;
  Sink sink;
};

}  // namespace

TEST_F(Control, LoadsByPathRaisesCommandsAndAnswersVariables) {
  EXPECT_EQ(canUnload(), S_FALSE);
  std::wstring path = writeMovie();
  ASSERT_EQ(call(L"Movie", {str(path.c_str())}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0], std::make_pair(std::string("hello"), std::string("world")));
  EXPECT_EQ(number(L"TotalFrames"), 2);
  EXPECT_EQ(number(L"PercentLoaded"), 100);
  EXPECT_EQ(number(L"CurrentFrame"), 0);

  HRESULT hr;
  EXPECT_EQ(text(L"GetVariable", {str(L"v")}, &hr), "5");
  EXPECT_EQ(hr, S_OK);
  text(L"GetVariable", {str(L"never_set")}, &hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(call(L"SetVariable", {str(L"/:w"), str(L"from host")}), S_OK);
  EXPECT_EQ(text(L"GetVariable", {str(L"_root.w")}), "from host");

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
  EXPECT_TRUE(FAILED(call(L"Movie", {str(L"C:\\no\\such\\movie.swf")}, nullptr, DISPATCH_PROPERTYPUT)));
}

TEST_F(Control, DrawsIntoAMemoryDcAndActivatesInAWindow) {
  std::wstring path = writeMovie();
  ASSERT_EQ(call(L"Movie", {str(path.c_str())}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
  IViewObject* view = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IViewObject, reinterpret_cast<void**>(&view)), S_OK);
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = 110;
  bi.bmiHeader.biHeight = -80;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECTL r{0, 0, 110, 80};
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &r, nullptr, nullptr, 0), S_OK);
  GdiFlush();
  uint32_t centre = static_cast<uint32_t*>(bits)[40 * 110 + 55] & 0xFFFFFF;
  EXPECT_EQ(centre, 0xFF0000u);
  // Black background asked for by the host shows where the movie does not draw: nothing
  // here, the rectangle covers the stage, so the pixel stays red.
  EXPECT_EQ(call(L"BackgroundColor", {num(0)}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &r, nullptr, nullptr, 0), S_OK);
  GdiFlush();
  EXPECT_EQ(static_cast<uint32_t*>(bits)[40 * 110 + 55] & 0xFFFFFF, 0xFF0000u);
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
  view->Release();

  HWND parent = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(parent);
  IOleObject* ole = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  RECT pos{0, 0, 220, 160};
  EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, parent, &pos), S_OK);
  IOleInPlaceObject* ip = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&ip)), S_OK);
  HWND child = nullptr;
  EXPECT_EQ(ip->GetWindow(&child), S_OK);
  ASSERT_TRUE(child);
  EXPECT_EQ(GetParent(child), parent);
  RECT cr;
  GetClientRect(child, &cr);
  EXPECT_EQ(cr.right, 220);
  EXPECT_EQ(ip->InPlaceDeactivate(), S_OK);
  EXPECT_FALSE(IsWindow(child));
  ip->Release();
  ole->Close(OLECLOSE_NOSAVE);
  ole->Release();
  DestroyWindow(parent);
}
