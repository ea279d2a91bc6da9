// moviectl.dll: the movie control as an in-process COM server.
//
// One object answers IDispatch by member name (the operations a projector calls), raises
// FSCommand (dispatch id 150, command and argument) through a connection point, draws through
// IViewObject, and activates in place as a child window of its site with a frame timer at the
// movie's rate. Everything runs on the thread that created the object.
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"

namespace moviectl {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// {D27CDB6E-AE6D-11CF-96B8-444553540000}
const CLSID kClsid = {0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// Event interface of the control ({D27CDB6D-AE6D-11CF-96B8-444553540000}).
const IID kEventsIid = {0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr DISPID kFsCommandDispid = 150;
constexpr UINT_PTR kFrameTimer = 1;
const wchar_t kWindowClass[] = L"MovieCtlWindow";

std::string narrow(const wchar_t* w) {
  if (!w) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

BSTR wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

// Members answered by name; the id is the index plus one.
enum Member {
  mMovie = 1, mLoadMovie, mPlay, mStop, mBack, mForward, mRewind, mGotoFrame, mPlaying, mLoop,
  mIsPlaying, mCurrentFrame, mTotalFrames, mPercentLoaded, mFrameLoaded, mFlashVersion, mScaleMode,
  mBackgroundColor, mQuality2, mQuality, mBase, mZoom, mSetZoomRect, mPan, mGetVariable, mSetVariable,
  mTCallLabel, mTCallFrame, mTGotoFrame, mTGotoLabel, mTPlay, mTStopPlay, mTCurrentFrame, mTCurrentLabel,
  mTGetProperty, mTSetProperty, mTGetPropertyNum, mTSetPropertyNum, mReadyState, mAlignMode, mMenu,
  mStopPlay, mFrameNum, mSAlign, mWMode, mCount
};
const wchar_t* const kMemberNames[] = {
    L"Movie", L"LoadMovie", L"Play", L"Stop", L"Back", L"Forward", L"Rewind", L"GotoFrame", L"Playing", L"Loop",
    L"IsPlaying", L"CurrentFrame", L"TotalFrames", L"PercentLoaded", L"FrameLoaded", L"FlashVersion", L"ScaleMode",
    L"BackgroundColor", L"Quality2", L"Quality", L"Base", L"Zoom", L"SetZoomRect", L"Pan", L"GetVariable", L"SetVariable",
    L"TCallLabel", L"TCallFrame", L"TGotoFrame", L"TGotoLabel", L"TPlay", L"TStopPlay", L"TCurrentFrame", L"TCurrentLabel",
    L"TGetProperty", L"TSetProperty", L"TGetPropertyNum", L"TSetPropertyNum", L"ReadyState", L"AlignMode", L"Menu",
    L"StopPlay", L"FrameNum", L"SAlign", L"WMode"};
static_assert(sizeof(kMemberNames) / sizeof(kMemberNames[0]) == mCount - 1, "member table");

class MovieControl;

class ConnectionPoint : public IConnectionPoint {
 public:
  explicit ConnectionPoint(IConnectionPointContainer* owner) : owner_(owner) {}
  std::vector<IDispatch*> sinks;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = kEventsIid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
    if (!c) return E_POINTER;
    *c = owner_;
    owner_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    IDispatch* d = nullptr;
    if (FAILED(sink->QueryInterface(kEventsIid, reinterpret_cast<void**>(&d))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d))))
      return CONNECT_E_CANNOTCONNECT;
    for (size_t i = 0; i < sinks.size(); ++i)
      if (!sinks[i]) {
        sinks[i] = d;
        *cookie = static_cast<DWORD>(i + 1);
        return S_OK;
      }
    sinks.push_back(d);
    *cookie = static_cast<DWORD>(sinks.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    if (cookie == 0 || cookie > sinks.size() || !sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
    IDispatch* d = sinks[cookie - 1];
    sinks[cookie - 1] = nullptr;
    d->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
  void releaseAll() {
    for (auto*& s : sinks)
      if (s) {
        s->Release();
        s = nullptr;
      }
  }

 private:
  IConnectionPointContainer* owner_;
};

class MovieControl final : public IDispatch,
                     public IConnectionPointContainer,
                     public IViewObject2,
                     public IOleObject,
                     public IOleInPlaceObject {
 public:
  MovieControl() : cp_(static_cast<IConnectionPointContainer*>(this)) {
    ++g_objects;
    newPlayer();
  }
  ~MovieControl() {
    destroyWindow();
    cp_.releaseAll();
    if (site_) site_->Release();
    --g_objects;
  }

  // --- IUnknown --------------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch)
      *out = static_cast<IDispatch*>(this);
    else if (iid == IID_IConnectionPointContainer)
      *out = static_cast<IConnectionPointContainer*>(this);
    else if (iid == IID_IViewObject || iid == IID_IViewObject2)
      *out = static_cast<IViewObject2*>(this);
    else if (iid == IID_IOleObject)
      *out = static_cast<IOleObject*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject)
      *out = static_cast<IOleInPlaceObject*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // --- IDispatch -------------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (!n) return E_POINTER;
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** t) override {
    if (t) *t = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0) {
        hr = DISP_E_UNKNOWNNAME;  // named arguments are not supported
        continue;
      }
      for (int m = 1; m < mCount; ++m)
        if (names[i] && _wcsicmp(names[i], kMemberNames[m - 1]) == 0) ids[i] = m;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT* argErr) override;

  // --- IConnectionPointContainer -----------------------------------------------------------
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != kEventsIid && iid != IID_IDispatch) return CONNECT_E_NOCONNECTION;
    *out = &cp_;
    cp_.AddRef();
    return S_OK;
  }

  // --- IViewObject2 ------------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds,
                                 LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!hdc || !bounds) return E_INVALIDARG;
    RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
    paint(hdc, r);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** p) override {
    if (p) *p = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD, DWORD, IAdviseSink*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD*, DWORD*, IAdviseSink** s) override {
    if (s) *s = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
    return extentOf(aspect, size);
  }

  // --- IOleObject --------------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override {
    if (!site) return E_POINTER;
    *site = site_;
    if (site_) site_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD) override {
    InPlaceDeactivate();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override {
    if (m) *m = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject** d) override {
    if (d) *d = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT rect) override {
    if (site && site != site_) SetClientSite(site);
    if (verb == OLEIVERB_HIDE) {
      if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
      return S_OK;
    }
    // Every other verb shows the control in place.
    IOleInPlaceSite* ip = nullptr;
    if (site_) site_->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&ip));
    HWND host = parent;
    RECT pos{0, 0, 0, 0};
    if (rect) pos = *rect;
    if (ip) {
      if (ip->CanInPlaceActivate() == S_OK) ip->OnInPlaceActivate();
      HWND w = nullptr;
      if (SUCCEEDED(ip->GetWindow(&w)) && w) host = w;
      IOleInPlaceFrame* frame = nullptr;
      IOleInPlaceUIWindow* doc = nullptr;
      RECT clip;
      OLEINPLACEFRAMEINFO info{};
      info.cb = sizeof info;
      if (SUCCEEDED(ip->GetWindowContext(&frame, &doc, &pos, &clip, &info))) {
        if (frame) frame->Release();
        if (doc) doc->Release();
      }
      ip->Release();
    }
    if (!host) return E_FAIL;
    createWindow(host, pos);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* id) override {
    if (!id) return E_POINTER;
    *id = kClsid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR* t) override {
    if (t) *t = nullptr;
    return OLE_S_USEREG;
  }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT || !size) return E_INVALIDARG;
    extent_ = *size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override { return extentOf(aspect, size); }
  HRESULT extentOf(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT || !size) return E_INVALIDARG;
    *size = extent_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD* c) override {
    if (c) *c = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* s) override {
    if (!s) return E_POINTER;
    *s = OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
         OLEMISC_RECOMPOSEONRESIZE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // --- IOleInPlaceObject ---------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* w) override {
    if (!w) return E_POINTER;
    *w = hwnd_;
    return hwnd_ ? S_OK : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
    destroyWindow();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pos, LPCRECT) override {
    if (!pos) return E_POINTER;
    if (hwnd_) MoveWindow(hwnd_, pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top, TRUE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }

  HWND window() const { return hwnd_; }

 private:
  void newPlayer() {
    player_ = std::make_unique<Player>();
    player_->onFSCommand = [this](const std::string& c, const std::string& a) { fireFsCommand(c, a); };
    player_->onLoadMovie = [this](int level, const std::string& url) { pendingLoads_.push_back({level, url}); };
  }

  std::string resolvePath(const std::string& url) const {
    std::string p = url;
    if (_strnicmp(p.c_str(), "file:///", 8) == 0)
      p = p.substr(8);
    else if (_strnicmp(p.c_str(), "file://", 7) == 0)
      p = p.substr(7);
    for (auto& c : p)
      if (c == '/') c = '\\';
    bool absolute = (p.size() > 1 && p[1] == ':') || (!p.empty() && p[0] == '\\');
    if (!absolute && !base_.empty()) {
      std::string b = resolvePathNoBase(base_);
      if (!b.empty() && b.back() != '\\') b += '\\';
      p = b + p;
    }
    return p;
  }
  static std::string resolvePathNoBase(const std::string& url) {
    std::string p = url;
    if (_strnicmp(p.c_str(), "file:///", 8) == 0) p = p.substr(8);
    for (auto& c : p)
      if (c == '/') c = '\\';
    return p;
  }

  bool loadInto(int level, const std::string& url) {
    if (url.empty()) {
      player_->unloadLevel(level);
      return true;
    }
    std::ifstream f(resolvePath(url), std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    std::string bytes = ss.str();
    LoadError err;
    auto def = loadSwf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), err);
    if (!def) return false;
    if (level == 0) {
      newPlayer();
      movieUrl_ = url;
    }
    bool ok = player_->loadMovie(level, def);
    if (level == 0 && !autoPlay_) player_->stop("");
    startTimer();
    runPendingLoads();
    invalidate();
    return ok;
  }

  void runPendingLoads() {
    for (int guard = 0; guard < 16 && !pendingLoads_.empty(); ++guard) {
      auto loads = std::move(pendingLoads_);
      pendingLoads_.clear();
      for (auto& l : loads) loadInto(l.first, l.second);
    }
  }

  void fireFsCommand(const std::string& cmd, const std::string& args) {
    for (IDispatch* sink : std::vector<IDispatch*>(cp_.sinks)) {
      if (!sink) continue;
      VARIANT v[2];
      v[0].vt = VT_BSTR;  // arguments are passed last to first
      v[0].bstrVal = wide(args);
      v[1].vt = VT_BSTR;
      v[1].bstrVal = wide(cmd);
      DISPPARAMS dp{v, nullptr, 2, 0};
      sink->AddRef();
      sink->Invoke(kFsCommandDispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr);
      sink->Release();
      VariantClear(&v[0]);
      VariantClear(&v[1]);
    }
  }

  void paint(HDC hdc, const RECT& r) {
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return;
    Surface s(w, h);
    RenderOptions ro;
    auto movie = player_->movie();
    Rect frame = movie ? movie->header.frameSize : Rect{0, w * 20, 0, h * 20};
    ro.view = stageTransform(frame, w, h, scaleMode_, 0);
    if (zoom_ != 1.0) {
      Matrix z;
      z.a = z.d = zoom_;
      z.tx = (1 - zoom_) * w / 2 + panX_;
      z.ty = (1 - zoom_) * h / 2 + panY_;
      ro.view = z * ro.view;
    }
    if (hasBackground_) {
      ro.hasBackgroundOverride = true;
      ro.backgroundOverride = background_;
    }
    renderPlayer(*player_, s, ro);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(hdc, r.left, r.top, w, h, 0, 0, 0, h, s.pixels.data(), &bi, DIB_RGB_COLORS);
  }

  void invalidate() {
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
  }

  void startTimer() {
    if (!hwnd_) return;
    auto m = player_->movie();
    double fps = m ? m->header.frameRate() : 12;
    if (fps < 1) fps = 12;
    SetTimer(hwnd_, kFrameTimer, static_cast<UINT>(std::max(1.0, 1000.0 / std::min(fps, 120.0))), nullptr);
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<MovieControl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    return self->handle(hwnd, msg, wp, lp);
  }

  LRESULT handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_TIMER:
        if (wp == kFrameTimer && player_->loaded()) {
          AddRef();  // a command handler may release the control
          player_->advance();
          runPendingLoads();
          invalidate();
          Release();
        }
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT rc;
        GetClientRect(hwnd, &rc);
        paint(dc, rc);
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_ERASEBKGND:
        return 1;
      case WM_MOUSEMOVE:
      case WM_LBUTTONDOWN:
      case WM_LBUTTONUP: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        auto m = player_->movie();
        if (!m) return 0;
        Matrix inv = stageTransform(m->header.frameSize, rc.right, rc.bottom, scaleMode_, 0).inverted();
        double x, y;
        inv.apply(static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp)), x, y);
        AddRef();
        player_->mouseMove(x, y);
        if (msg == WM_LBUTTONDOWN) {
          SetCapture(hwnd);
          player_->mouseDown();
        } else if (msg == WM_LBUTTONUP) {
          ReleaseCapture();
          player_->mouseUp();
        }
        invalidate();
        Release();
        return 0;
      }
      case WM_KEYDOWN:
      case WM_KEYUP: {
        AddRef();
        if (msg == WM_KEYDOWN) {
          BYTE state[256];
          GetKeyboardState(state);
          WORD ch = 0;
          int n = ToAscii(static_cast<UINT>(wp), (lp >> 16) & 0xFF, state, &ch, 0);
          player_->keyDown(static_cast<int>(wp), n == 1 ? (ch & 0xFF) : 0);
        } else {
          player_->keyUp(static_cast<int>(wp));
        }
        invalidate();
        Release();
        return 0;
      }
      case WM_CONTEXTMENU: {
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING | (player_->isPlaying() ? MF_CHECKED : 0), 1, L"Play");
        AppendMenuW(menu, MF_STRING, 2, L"Rewind");
        AppendMenuW(menu, MF_STRING | (loop_ ? MF_CHECKED : 0), 3, L"Loop");
        POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        int cmd = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y, 0, hwnd, nullptr);
        DestroyMenu(menu);
        if (cmd == 1) player_->isPlaying() ? player_->stop("") : player_->play("");
        if (cmd == 2) player_->gotoFrame("", 0, false);
        if (cmd == 3) loop_ = !loop_;
        invalidate();
        return 0;
      }
      default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }

  void createWindow(HWND parent, const RECT& pos) {
    if (hwnd_) {
      SetParent(hwnd_, parent);
      MoveWindow(hwnd_, pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top, TRUE);
      ShowWindow(hwnd_, SW_SHOW);
      return;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = g_module;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc);  // fails harmlessly when already registered
    hwnd_ = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, pos.left, pos.top,
                            pos.right - pos.left, pos.bottom - pos.top, parent, nullptr, g_module, this);
    startTimer();
  }

  void destroyWindow() {
    if (hwnd_) {
      KillTimer(hwnd_, kFrameTimer);
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
      hwnd_ = nullptr;
    }
  }

  std::atomic<ULONG> refs_{1};
  ConnectionPoint cp_;
  IOleClientSite* site_ = nullptr;
  HWND hwnd_ = nullptr;
  SIZEL extent_{14552, 10583};  // 550 x 400 pixels in HIMETRIC
  std::unique_ptr<Player> player_;
  std::vector<std::pair<int, std::string>> pendingLoads_;
  std::string movieUrl_;
  std::string base_;
  std::string quality_ = "high";
  ScaleMode scaleMode_ = ScaleMode::ShowAll;
  bool autoPlay_ = true;
  bool loop_ = true;
  bool hasBackground_ = false;
  RGBA background_;
  double zoom_ = 1.0, panX_ = 0, panY_ = 0;

  friend class InvokeArgs;
};

// Arguments of one Invoke call, first to last.
class InvokeArgs {
 public:
  explicit InvokeArgs(DISPPARAMS* p) : p_(p) {}
  bool has(UINT i) const { return p_ && i < p_->cArgs; }
  const VARIANT* raw(UINT i) const { return &p_->rgvarg[p_->cArgs - 1 - i]; }
  bool text(UINT i, std::string& out) const {
    if (!has(i)) return false;
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, const_cast<VARIANT*>(raw(i)), 0, VT_BSTR))) return false;
    out = narrow(v.bstrVal);
    VariantClear(&v);
    return true;
  }
  bool number(UINT i, long& out) const {
    if (!has(i)) return false;
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, const_cast<VARIANT*>(raw(i)), 0, VT_I4))) return false;
    out = v.lVal;
    return true;
  }
  bool real(UINT i, double& out) const {
    if (!has(i)) return false;
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, const_cast<VARIANT*>(raw(i)), 0, VT_R8))) return false;
    out = v.dblVal;
    return true;
  }

 private:
  DISPPARAMS* p_;
};

void setBool(VARIANT* r, bool b) {
  if (!r) return;
  r->vt = VT_BOOL;
  r->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
}
void setLong(VARIANT* r, long n) {
  if (!r) return;
  r->vt = VT_I4;
  r->lVal = n;
}
void setText(VARIANT* r, const std::string& s) {
  if (!r) return;
  r->vt = VT_BSTR;
  r->bstrVal = wide(s);
}

HRESULT STDMETHODCALLTYPE MovieControl::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                               VARIANT* result, EXCEPINFO*, UINT* argErr) {
  if (result) VariantInit(result);
  if (argErr) *argErr = 0;
  InvokeArgs a(params);
  bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  std::string s1, s2;
  long n1 = 0, n2 = 0;
  AddRef();  // scripts run below may release the control through an event handler
  struct Guard {
    MovieControl* c;
    ~Guard() { c->Release(); }
  } guard{this};
  switch (id) {
    case mMovie:
      if (put) return a.text(0, s1) ? (loadInto(0, s1) ? S_OK : E_FAIL) : DISP_E_TYPEMISMATCH;
      setText(result, movieUrl_);
      return S_OK;
    case mLoadMovie:
      if (!a.number(0, n1) || !a.text(1, s1) || n1 < 0) return DISP_E_BADPARAMCOUNT;
      return loadInto(static_cast<int>(n1), s1) ? S_OK : E_FAIL;
    case mPlay:
    case mTPlay:
      if (id == mTPlay && !a.text(0, s1)) return DISP_E_BADPARAMCOUNT;
      player_->play(s1);
      return S_OK;
    case mStop:
    case mStopPlay:
    case mTStopPlay:
      if (id == mTStopPlay && !a.text(0, s1)) return DISP_E_BADPARAMCOUNT;
      player_->stop(s1);
      return S_OK;
    case mBack:
      player_->gotoFrame("", std::max(0, player_->currentFrame("") - 1), false);
      invalidate();
      return S_OK;
    case mForward:
      player_->gotoFrame("", player_->currentFrame("") + 1, false);
      invalidate();
      return S_OK;
    case mRewind:
      player_->gotoFrame("", 0, false);
      invalidate();
      return S_OK;
    case mGotoFrame:
    case mFrameNum:
      if (id == mFrameNum && !put) {
        setLong(result, player_->currentFrame(""));
        return S_OK;
      }
      if (!a.number(0, n1)) return DISP_E_BADPARAMCOUNT;
      player_->gotoFrame("", static_cast<int>(n1), false);
      invalidate();
      return S_OK;
    case mPlaying:
      if (put) {
        VARIANT v;
        VariantInit(&v);
        if (!a.has(0) || FAILED(VariantChangeType(&v, const_cast<VARIANT*>(a.raw(0)), 0, VT_BOOL))) return DISP_E_TYPEMISMATCH;
        autoPlay_ = v.boolVal != VARIANT_FALSE;
        if (player_->loaded()) autoPlay_ ? player_->play("") : player_->stop("");
        return S_OK;
      }
      setBool(result, player_->isPlaying());
      return S_OK;
    case mIsPlaying:
      setBool(result, player_->isPlaying());
      return S_OK;
    case mLoop:
      if (put) {
        VARIANT v;
        VariantInit(&v);
        if (!a.has(0) || FAILED(VariantChangeType(&v, const_cast<VARIANT*>(a.raw(0)), 0, VT_BOOL))) return DISP_E_TYPEMISMATCH;
        loop_ = v.boolVal != VARIANT_FALSE;
        return S_OK;
      }
      setBool(result, loop_);
      return S_OK;
    case mCurrentFrame:
      setLong(result, std::max(0, player_->currentFrame("")));
      return S_OK;
    case mTotalFrames:
      setLong(result, player_->totalFrames());
      return S_OK;
    case mPercentLoaded:
      setLong(result, player_->loaded() ? 100 : 0);
      return S_OK;
    case mReadyState:
      setLong(result, player_->loaded() ? 4 : 0);
      return S_OK;
    case mFrameLoaded:
      if (!a.number(0, n1)) return DISP_E_BADPARAMCOUNT;
      setBool(result, player_->loaded() && n1 >= 0 && n1 < player_->totalFrames());
      return S_OK;
    case mFlashVersion:
      setLong(result, 0x00070000);  // major version in the high word
      return S_OK;
    case mScaleMode:
      if (put) {
        if (!a.number(0, n1) || n1 < 0 || n1 > 3) return DISP_E_TYPEMISMATCH;
        scaleMode_ = static_cast<ScaleMode>(n1);
        invalidate();
        return S_OK;
      }
      setLong(result, static_cast<long>(scaleMode_));
      return S_OK;
    case mBackgroundColor:
      if (put) {
        if (!a.number(0, n1)) return DISP_E_TYPEMISMATCH;
        hasBackground_ = n1 >= 0;
        background_ = RGBA{static_cast<uint8_t>(n1 >> 16), static_cast<uint8_t>(n1 >> 8), static_cast<uint8_t>(n1), 255};
        invalidate();
        return S_OK;
      }
      setLong(result, hasBackground_ ? (background_.r << 16) | (background_.g << 8) | background_.b : -1);
      return S_OK;
    case mQuality2:
    case mQuality:
      if (put) {
        if (!a.text(0, s1)) return DISP_E_TYPEMISMATCH;
        quality_ = s1;
        return S_OK;
      }
      setText(result, quality_);
      return S_OK;
    case mBase:
      if (put) {
        if (!a.text(0, s1)) return DISP_E_TYPEMISMATCH;
        base_ = s1;
        return S_OK;
      }
      setText(result, base_);
      return S_OK;
    case mAlignMode:
    case mMenu:
    case mSAlign:
    case mWMode:
      if (!put) setLong(result, 0);
      return S_OK;
    case mZoom:
      if (!a.number(0, n1)) return DISP_E_BADPARAMCOUNT;
      zoom_ = n1 <= 0 ? 1.0 : std::clamp(zoom_ * 100.0 / n1, 0.01, 100.0);
      if (n1 == 0) panX_ = panY_ = 0;
      invalidate();
      return S_OK;
    case mSetZoomRect: {
      long l, t, r, b;
      if (!a.number(0, l) || !a.number(1, t) || !a.number(2, r) || !a.number(3, b)) return DISP_E_BADPARAMCOUNT;
      auto m = player_->movie();
      if (m && r > l && b > t) {
        const Rect& f = m->header.frameSize;
        zoom_ = std::min(double(f.xmax - f.xmin) / (r - l), double(f.ymax - f.ymin) / (b - t));
      }
      invalidate();
      return S_OK;
    }
    case mPan:
      if (!a.number(0, n1) || !a.number(1, n2)) return DISP_E_BADPARAMCOUNT;
      panX_ -= n1;
      panY_ -= n2;
      invalidate();
      return S_OK;
    case mGetVariable:
      if (!a.text(0, s1)) return DISP_E_BADPARAMCOUNT;
      if (!player_->getVariable(s1, s2)) return E_FAIL;
      setText(result, s2);
      return S_OK;
    case mSetVariable:
      if (!a.text(0, s1) || !a.text(1, s2)) return DISP_E_BADPARAMCOUNT;
      player_->setVariable(s1, s2);
      runPendingLoads();
      invalidate();
      return S_OK;
    case mTCallLabel:
    case mTGotoLabel:
      if (!a.text(0, s1) || !a.text(1, s2)) return DISP_E_BADPARAMCOUNT;
      if (id == mTCallLabel ? !player_->callLabel(s1, s2) : !player_->gotoLabel(s1, s2, false)) return E_FAIL;
      runPendingLoads();
      invalidate();
      return S_OK;
    case mTCallFrame:
    case mTGotoFrame:
      if (!a.text(0, s1) || !a.number(1, n1)) return DISP_E_BADPARAMCOUNT;
      if (id == mTCallFrame ? !player_->callFrame(s1, static_cast<int>(n1))
                            : !player_->gotoFrame(s1, static_cast<int>(n1), false))
        return E_FAIL;
      runPendingLoads();
      invalidate();
      return S_OK;
    case mTCurrentFrame:
      if (!a.text(0, s1)) return DISP_E_BADPARAMCOUNT;
      setLong(result, player_->currentFrame(s1));
      return S_OK;
    case mTCurrentLabel:
      if (!a.text(0, s1)) return DISP_E_BADPARAMCOUNT;
      setText(result, player_->currentLabel(s1));
      return S_OK;
    case mTGetProperty:
    case mTGetPropertyNum:
      if (!a.text(0, s1) || !a.number(1, n1)) return DISP_E_BADPARAMCOUNT;
      if (!player_->getProperty(s1, static_cast<int>(n1), s2)) return E_FAIL;
      if (id == mTGetProperty) {
        setText(result, s2);
      } else if (result) {
        result->vt = VT_R8;
        result->dblVal = std::atof(s2.c_str());
      }
      return S_OK;
    case mTSetProperty:
    case mTSetPropertyNum: {
      if (!a.text(0, s1) || !a.number(1, n1)) return DISP_E_BADPARAMCOUNT;
      double d;
      if (id == mTSetPropertyNum ? !a.real(2, d) : !a.text(2, s2)) return DISP_E_BADPARAMCOUNT;
      if (id == mTSetPropertyNum) s2 = numberToString(d);
      if (!player_->setProperty(s1, static_cast<int>(n1), s2)) return E_FAIL;
      invalidate();
      return S_OK;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

class ClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ++g_locks;
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    --g_locks;
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* c = new (std::nothrow) MovieControl();
    if (!c) return E_OUTOFMEMORY;
    HRESULT hr = c->QueryInterface(iid, out);
    c->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++g_locks : --g_locks;
    return S_OK;
  }
};

ClassFactory g_factory;

std::wstring clsidKey() {
  wchar_t guid[64];
  StringFromGUID2(kClsid, guid, 64);
  return std::wstring(L"Software\\Classes\\CLSID\\") + guid;
}

}  // namespace

}  // namespace moviectl

using namespace moviectl;

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = inst;
    DisableThreadLibraryCalls(inst);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

// Registration is per user only: nothing outside the user's own hive is touched.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  std::wstring key = clsidKey() + L"\\InprocServer32";
  HKEY k;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  const wchar_t model[] = L"Apartment";
  LONG r1 = RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), (n + 1) * sizeof(wchar_t));
  LONG r2 = RegSetValueExW(k, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model);
  RegCloseKey(k);
  return r1 == ERROR_SUCCESS && r2 == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  LONG r = RegDeleteTreeW(HKEY_CURRENT_USER, clsidKey().c_str());
  return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
