// moviectl.dll: the movie control as an in-process COM server.
//
// One object answers IDispatch by member name (the operations a projector calls), raises its
// events (FSCommand with command and argument, ready-state changes, load progress) through a
// connection point, draws through IViewObjectEx into any device context, takes its start-up
// properties from a property bag, and activates in place as a child window of its site with a
// frame timer at the movie's rate. Everything runs on the thread that created the object.
//
// Host code runs only inside event handlers. Whatever such a handler asks that would replace
// or unload a movie while the player is still executing it (Movie, LoadMovie) is checked at
// once and carried out when the player has returned.
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
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
constexpr DISPID kFsCommandEvent = 150;
constexpr DISPID kReadyStateEvent = -609;
constexpr DISPID kProgressEvent = 0x7a6;
constexpr UINT_PTR kFrameTimer = 1;
const wchar_t kWindowClass[] = L"MovieCtlWindow";

// Kinds of view in the view-object calls: the content view is the only one drawn, any other
// gets the view-kind error.
constexpr DWORD kContentView = 1;
constexpr HRESULT kOtherViewKind = static_cast<HRESULT>(0x8004006BL);

// Ready states: nothing to play, and a movie fully loaded (loading is synchronous).
constexpr long kStateEmpty = 0;
constexpr long kStateComplete = 4;

// Draws larger than this many pixels are rendered smaller and stretched onto the target.
constexpr double kMaxRenderPixels = 4096.0 * 4096.0;
// Zooming in stops at this magnification.
constexpr double kMaxZoom = 100.0;

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

bool sameText(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

// Index of `s` in `names` (case-insensitive), or -1.
template <size_t N>
int lookup(const std::string& s, const char* const (&names)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (sameText(s, names[i])) return static_cast<int>(i);
  return -1;
}

// --- members ---------------------------------------------------------------------------------

enum class Access : uint8_t { Get, GetPut, Method };

// Dispatch ids of the members; hosts normally look them up by name.
enum : DISPID {
  dMovie = 0x66, dQuality = 0x69, dLoop = 0x6a, dFrameNum = 0x6b, dSetZoomRect = 0x6d, dPlay = 0x70,
  dStop = 0x71, dBack = 0x72, dForward = 0x73, dRewind = 0x74, dZoom = 0x76, dPan = 0x77, dScaleMode = 0x78,
  dAlignMode = 0x79, dBackgroundColor = 0x7b, dTotalFrames = 0x7c, dPlaying = 0x7d, dStopPlay = 0x7e,
  dGotoFrame = 0x7f, dCurrentFrame = 0x80, dIsPlaying = 0x81, dPercentLoaded = 0x82, dFrameLoaded = 0x83,
  dFlashVersion = 0x84, dWMode = 0x85, dSAlign = 0x86, dMenu = 0x87, dBase = 0x88, dScale = 0x89,
  dDeviceFont = 0x8a, dEmbedMovie = 0x8b, dBGColor = 0x8c, dQuality2 = 0x8d, dLoadMovie = 0x8e,
  dTGotoFrame = 0x8f, dTGotoLabel = 0x90, dTCurrentFrame = 0x91, dTCurrentLabel = 0x92, dTPlay = 0x93,
  dTStopPlay = 0x94, dSetVariable = 0x97, dGetVariable = 0x98, dTSetProperty = 0x99, dTGetProperty = 0x9a,
  dTCallFrame = 0x9b, dTCallLabel = 0x9c, dTSetPropertyNum = 0x9d, dTGetPropertyNum = 0x9e, dSWRemote = 0x9f,
  dFlashVars = 0xaa, dAllowScriptAccess = 0xab, dTGetPropertyAsNumber = 0xac, dReadyState = DISPID_READYSTATE
};

struct MemberInfo {
  const wchar_t* name;
  DISPID id;
  Access access;
};

const MemberInfo kMembers[] = {
    {L"ReadyState", dReadyState, Access::Get},
    {L"TotalFrames", dTotalFrames, Access::Get},
    {L"Playing", dPlaying, Access::GetPut},
    {L"Quality", dQuality, Access::GetPut},
    {L"ScaleMode", dScaleMode, Access::GetPut},
    {L"AlignMode", dAlignMode, Access::GetPut},
    {L"BackgroundColor", dBackgroundColor, Access::GetPut},
    {L"Loop", dLoop, Access::GetPut},
    {L"Movie", dMovie, Access::GetPut},
    {L"FrameNum", dFrameNum, Access::GetPut},
    {L"WMode", dWMode, Access::GetPut},
    {L"SAlign", dSAlign, Access::GetPut},
    {L"Menu", dMenu, Access::GetPut},
    {L"Base", dBase, Access::GetPut},
    {L"Scale", dScale, Access::GetPut},
    {L"DeviceFont", dDeviceFont, Access::GetPut},
    {L"EmbedMovie", dEmbedMovie, Access::GetPut},
    {L"BGColor", dBGColor, Access::GetPut},
    {L"Quality2", dQuality2, Access::GetPut},
    {L"SWRemote", dSWRemote, Access::GetPut},
    {L"FlashVars", dFlashVars, Access::GetPut},
    {L"AllowScriptAccess", dAllowScriptAccess, Access::GetPut},
    {L"SetZoomRect", dSetZoomRect, Access::Method},
    {L"Zoom", dZoom, Access::Method},
    {L"Pan", dPan, Access::Method},
    {L"Play", dPlay, Access::Method},
    {L"Stop", dStop, Access::Method},
    {L"Back", dBack, Access::Method},
    {L"Forward", dForward, Access::Method},
    {L"Rewind", dRewind, Access::Method},
    {L"StopPlay", dStopPlay, Access::Method},
    {L"GotoFrame", dGotoFrame, Access::Method},
    {L"CurrentFrame", dCurrentFrame, Access::Method},
    {L"IsPlaying", dIsPlaying, Access::Method},
    {L"PercentLoaded", dPercentLoaded, Access::Method},
    {L"FrameLoaded", dFrameLoaded, Access::Method},
    {L"FlashVersion", dFlashVersion, Access::Method},
    {L"LoadMovie", dLoadMovie, Access::Method},
    {L"TGotoFrame", dTGotoFrame, Access::Method},
    {L"TGotoLabel", dTGotoLabel, Access::Method},
    {L"TCurrentFrame", dTCurrentFrame, Access::Method},
    {L"TCurrentLabel", dTCurrentLabel, Access::Method},
    {L"TPlay", dTPlay, Access::Method},
    {L"TStopPlay", dTStopPlay, Access::Method},
    {L"SetVariable", dSetVariable, Access::Method},
    {L"GetVariable", dGetVariable, Access::Method},
    {L"TSetProperty", dTSetProperty, Access::Method},
    {L"TGetProperty", dTGetProperty, Access::Method},
    {L"TCallFrame", dTCallFrame, Access::Method},
    {L"TCallLabel", dTCallLabel, Access::Method},
    {L"TSetPropertyNum", dTSetPropertyNum, Access::Method},
    {L"TGetPropertyNum", dTGetPropertyNum, Access::Method},
    {L"TGetPropertyAsNumber", dTGetPropertyAsNumber, Access::Method},
};

const MemberInfo* memberById(DISPID id) {
  for (const auto& m : kMembers)
    if (m.id == id) return &m;
  return nullptr;
}

// Text forms of the enumerated properties. Quality numbers index kQualityNames.
const char* const kQualityNames[] = {"Low", "High", "AutoLow", "AutoHigh", "Medium", "Best"};
const char* const kScaleNames[] = {"ShowAll", "NoBorder", "ExactFit", "NoScale"};
const char* const kWModeNames[] = {"Window", "Opaque", "Transparent"};
enum WMode { WModeWindow = 0, WModeOpaque = 1, WModeTransparent = 2 };

// Context menu commands of the control's own window.
enum MenuCommand : UINT {
  kCmdZoomIn = 1, kCmdZoomOut, kCmdShowAll, kCmdLow, kCmdMedium, kCmdHigh, kCmdPlay, kCmdLoop, kCmdRewind,
  kCmdForward, kCmdBack
};

// "a=1&b=x%20y" -> pairs, with '+' as space and %XX escapes decoded.
std::vector<std::pair<std::string, std::string>> parseQuery(const std::string& q) {
  auto decode = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      char c = s[i];
      if (c == '+') {
        out += ' ';
      } else if (c == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += c;
      }
    }
    return out;
  };
  std::vector<std::pair<std::string, std::string>> vars;
  size_t i = 0;
  while (i <= q.size()) {
    size_t j = q.find('&', i);
    if (j == std::string::npos) j = q.size();
    std::string item = q.substr(i, j - i);
    size_t eq = item.find('=');
    std::string name = decode(item.substr(0, eq));
    if (!name.empty()) vars.emplace_back(name, eq == std::string::npos ? "" : decode(item.substr(eq + 1)));
    i = j + 1;
  }
  return vars;
}

// Arguments of one Invoke call, first to last. Each reader answers S_OK, DISP_E_BADPARAMCOUNT
// for a missing argument or DISP_E_TYPEMISMATCH (naming the argument) for one that does not
// convert.
class InvokeArgs {
 public:
  InvokeArgs(DISPPARAMS* p, UINT* argErr) : p_(p), argErr_(argErr) {}
  UINT count() const { return p_ ? p_->cArgs : 0; }
  HRESULT text(UINT i, std::string& out) const {
    VARIANT v;
    HRESULT hr = convert(i, VT_BSTR, v);
    if (hr == S_OK) out = narrow(v.bstrVal);
    VariantClear(&v);
    return hr;
  }
  HRESULT integer(UINT i, long& out) const {
    VARIANT v;
    HRESULT hr = convert(i, VT_I4, v);
    if (hr == S_OK) out = v.lVal;
    return hr;
  }
  HRESULT real(UINT i, double& out) const {
    VARIANT v;
    HRESULT hr = convert(i, VT_R8, v);
    if (hr == S_OK) out = v.dblVal;
    return hr;
  }
  HRESULT boolean(UINT i, bool& out) const {
    VARIANT v;
    HRESULT hr = convert(i, VT_BOOL, v);
    if (hr == S_OK) out = v.boolVal != VARIANT_FALSE;
    return hr;
  }

 private:
  HRESULT convert(UINT i, VARTYPE type, VARIANT& v) const {
    VariantInit(&v);
    if (i >= count()) return DISP_E_BADPARAMCOUNT;
    UINT slot = p_->cArgs - 1 - i;
    if (FAILED(VariantChangeType(&v, &p_->rgvarg[slot], 0, type))) {
      if (argErr_) *argErr_ = slot;
      return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
  }
  DISPPARAMS* p_;
  UINT* argErr_;
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
void setReal(VARIANT* r, double d) {
  if (!r) return;
  r->vt = VT_R8;
  r->dblVal = d;
}
void setText(VARIANT* r, const std::string& s) {
  if (!r) return;
  r->vt = VT_BSTR;
  r->bstrVal = wide(s);
}

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
                           public IViewObjectEx,
                           public IOleObject,
                           public IOleInPlaceObject,
                           public IPersistPropertyBag {
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
    else if (iid == IID_IViewObject || iid == IID_IViewObject2 || iid == IID_IViewObjectEx)
      *out = static_cast<IViewObjectEx*>(this);
    else if (iid == IID_IOleObject)
      *out = static_cast<IOleObject*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject)
      *out = static_cast<IOleInPlaceObject*>(this);
    else if (iid == IID_IPersist || iid == IID_IPersistPropertyBag)
      *out = static_cast<IPersistPropertyBag*>(this);
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
      for (const auto& m : kMembers)
        if (names[i] && _wcsicmp(names[i], m.name) == 0) ids[i] = m.id;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT* argErr) override {
    if (result) VariantInit(result);
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const MemberInfo* m = memberById(id);
    if (!m) return DISP_E_MEMBERNOTFOUND;
    bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put ? m->access != Access::GetPut : (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0)
      return DISP_E_MEMBERNOTFOUND;
    AddRef();  // an event handler run below may release the control
    InvokeArgs a(params, argErr);
    HRESULT hr = put ? putProperty(id, a) : getOrCall(id, a, result);
    afterPlayer();
    Release();
    return hr;
  }

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

  // --- IViewObjectEx -----------------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE Draw(DWORD kind, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdc, LPCRECTL bounds,
                                 LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
    if (kind != kContentView) return kOtherViewKind;
    if (!hdc || !bounds) return E_INVALIDARG;
    RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
    if (r.right <= r.left || r.bottom <= r.top) return E_INVALIDARG;
    return paint(hdc, r, true) ? S_OK : E_FAIL;
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
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD kind, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
    return extentOf(kind, size);
  }
  HRESULT STDMETHODCALLTYPE GetRect(DWORD kind, LPRECTL rect) override {
    if (!rect) return E_POINTER;
    if (kind != kContentView) return kOtherViewKind;
    *rect = RECTL{0, 0, extent_.cx, extent_.cy};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetViewStatus(DWORD* status) override {
    if (!status) return E_POINTER;
    *status = wmode_ == WModeTransparent ? 0 : VIEWSTATUS_OPAQUE | VIEWSTATUS_SOLIDBKGND;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryHitPoint(DWORD kind, LPCRECT bounds, POINT pt, LONG, DWORD* hit) override {
    if (!bounds || !hit) return E_POINTER;
    if (kind != kContentView) return kOtherViewKind;
    *hit = PtInRect(bounds, pt) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryHitRect(DWORD kind, LPCRECT bounds, LPCRECT loc, LONG, DWORD* hit) override {
    if (!bounds || !loc || !hit) return E_POINTER;
    if (kind != kContentView) return kOtherViewKind;
    RECT both;
    *hit = IntersectRect(&both, bounds, loc) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNaturalExtent(DWORD kind, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*,
                                             LPSIZEL size) override {
    if (!size) return E_POINTER;
    if (kind != kContentView) return kOtherViewKind;
    auto m = player_->movie();
    if (!m) return E_FAIL;
    // Twips to HIMETRIC: 1440 twips and 2540 HIMETRIC units to the inch.
    const Rect& f = m->header.frameSize;
    size->cx = MulDiv(f.xmax - f.xmin, 2540, 1440);
    size->cy = MulDiv(f.ymax - f.ymin, 2540, 1440);
    return S_OK;
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
    return hwnd_ ? S_OK : E_FAIL;
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
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD kind, SIZEL* size) override {
    if (kind != kContentView || !size) return E_INVALIDARG;
    extent_ = *size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD kind, SIZEL* size) override { return extentOf(kind, size); }
  HRESULT extentOf(DWORD kind, SIZEL* size) {
    if (kind != kContentView || !size) return E_INVALIDARG;
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

  // --- IPersistPropertyBag ---------------------------------------------------------------------
  // A container passes start-up properties (Movie, FlashVars, Quality, ...) by name. Movie is
  // applied last so that the others are in force when its first frame runs.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override { return GetUserClassID(id); }
  HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override {
    if (!bag) return E_POINTER;
    AddRef();
    HRESULT result = S_OK;
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& m : kMembers) {
        if (m.access != Access::GetPut || (m.id == dMovie) != (pass == 1)) continue;
        VARIANT v;
        VariantInit(&v);
        if (bag->Read(m.name, &v, log) == S_OK) {
          DISPPARAMS dp{&v, nullptr, 1, 0};
          InvokeArgs a(&dp, nullptr);
          if (FAILED(putProperty(m.id, a))) result = E_FAIL;
        }
        VariantClear(&v);
      }
    afterPlayer();
    Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL, BOOL) override {
    if (!bag) return E_POINTER;
    for (const auto& m : kMembers) {
      if (m.access != Access::GetPut) continue;
      VARIANT v;
      VariantInit(&v);
      DISPPARAMS none{nullptr, nullptr, 0, 0};
      InvokeArgs a(&none, nullptr);
      // Properties without a value now (the frame of no movie) are left out.
      HRESULT hr = getOrCall(m.id, a, &v);
      if (SUCCEEDED(hr)) hr = bag->Write(m.name, &v);
      VariantClear(&v);
      if (FAILED(hr) && hr != E_FAIL) return hr;
    }
    return S_OK;
  }

 private:
  struct PendingLoad {
    int level;
    std::string url;
    std::shared_ptr<const MovieDef> def;  // null: read when carried out
  };

  void newPlayer() {
    player_ = std::make_unique<Player>();
    player_->onFSCommand = [this](const std::string& c, const std::string& a) {
      VARIANT v[2];
      v[0].vt = VT_BSTR;  // arguments are passed last to first
      v[0].bstrVal = wide(a);
      v[1].vt = VT_BSTR;
      v[1].bstrVal = wide(c);
      fireEvent(kFsCommandEvent, v, 2);
      VariantClear(&v[0]);
      VariantClear(&v[1]);
    };
    player_->onLoadMovie = [this](int level, const std::string& url) {
      pending_.push_back({level, url, nullptr});
    };
  }

  // --- loading ---------------------------------------------------------------------------------

  // A URL or path made into a file path: "file:" prefixes dropped, slashes turned round,
  // relative paths taken from Base or else from the folder of the level 0 movie.
  std::string resolvePath(const std::string& url) const {
    std::string p = stripFileScheme(url);
    bool absolute = (p.size() > 1 && p[1] == ':') || (!p.empty() && p[0] == '\\');
    if (absolute) return p;
    std::string dir;
    if (!base_.empty()) {
      dir = stripFileScheme(base_);
    } else if (!movieUrl_.empty()) {
      dir = stripFileScheme(movieUrl_);
      size_t slash = dir.find_last_of('\\');
      dir = slash == std::string::npos ? std::string() : dir.substr(0, slash);
    }
    if (!dir.empty() && dir.back() != '\\') dir += '\\';
    return dir + p;
  }
  static std::string stripFileScheme(const std::string& url) {
    std::string p = url;
    if (_strnicmp(p.c_str(), "file:///", 8) == 0)
      p = p.substr(8);
    else if (_strnicmp(p.c_str(), "file://", 7) == 0)
      p = p.substr(7);
    for (auto& c : p)
      if (c == '/') c = '\\';
    return p;
  }
  static std::pair<std::string, std::string> splitQuery(const std::string& url) {
    size_t q = url.find('?');
    if (q == std::string::npos) return {url, ""};
    return {url.substr(0, q), url.substr(q + 1)};
  }

  std::shared_ptr<const MovieDef> readMovie(const std::string& url) const {
    std::ifstream f(resolvePath(splitQuery(url).first), std::ios::binary);
    if (!f) return nullptr;
    std::stringstream ss;
    ss << f.rdbuf();
    std::string bytes = ss.str();
    LoadError err;
    return loadSwf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), err);
  }

  // Movie and LoadMovie: an empty URL unloads the level. A file that cannot be read or parsed
  // fails and leaves the current movie playing.
  bool requestLoad(int level, const std::string& url) {
    std::shared_ptr<const MovieDef> def;
    if (!url.empty() && !(def = readMovie(url))) return false;
    if (callbackDepth_ > 0) {
      pending_.push_back({level, url, def});
      return true;
    }
    return install(level, url, def);
  }

  // False when the player refuses the level.
  bool install(int level, const std::string& url, std::shared_ptr<const MovieDef> def) {
    if (!def) {
      player_->unloadLevel(level);
      if (level == 0) {
        movieUrl_.clear();
        resetView();
        setReadyState(kStateEmpty);
      }
      invalidate();
      return true;
    }
    auto vars = parseQuery(splitQuery(url).second);
    if (level == 0) {
      auto own = parseQuery(flashVars_);
      vars.insert(vars.begin(), own.begin(), own.end());
      setReadyState(kStateEmpty);
      newPlayer();
      movieUrl_ = url;
      resetView();
    }
    callbackDepth_++;  // the first frame may raise events
    bool ok = player_->loadMovie(level, def, vars);
    callbackDepth_--;
    if (level == 0) {
      if (!autoPlay_) player_->stop("");
      VARIANT v;
      v.vt = VT_I4;
      v.lVal = 100;
      fireEvent(kProgressEvent, &v, 1);
      setReadyState(kStateComplete);
    }
    startTimer();
    invalidate();
    return ok;
  }

  // Carries out loads asked for while the player was running (by its scripts or by event
  // handlers). A movie that keeps loading movies is cut off after a bounded number of rounds.
  void afterPlayer() {
    if (callbackDepth_ > 0) return;
    for (int round = 0; round < 16 && !pending_.empty(); ++round) {
      auto loads = std::move(pending_);
      pending_.clear();
      for (auto& l : loads) {
        if (l.def || l.url.empty())
          install(l.level, l.url, l.def);
        else if (auto def = readMovie(l.url))
          install(l.level, l.url, def);
      }
    }
    pending_.clear();
    invalidate();
  }

  void setReadyState(long state) {
    if (state == readyState_) return;
    readyState_ = state;
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = state;
    fireEvent(kReadyStateEvent, &v, 1);
  }

  // Raises an event on every connected sink. A handler may unadvise others or release the
  // control, so the sinks are held for the whole round.
  void fireEvent(DISPID id, VARIANT* argsLastToFirst, UINT count) {
    std::vector<IDispatch*> sinks;
    for (IDispatch* s : cp_.sinks)
      if (s) {
        s->AddRef();
        sinks.push_back(s);
      }
    AddRef();
    callbackDepth_++;
    for (IDispatch* s : sinks) {
      DISPPARAMS dp{argsLastToFirst, nullptr, count, 0};
      s->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr);
    }
    callbackDepth_--;
    for (IDispatch* s : sinks) s->Release();
    Release();
  }

  // --- view: scale, alignment, zoom and pan -----------------------------------------------------

  Rect stage() const {
    auto m = player_->movie();
    return m ? m->header.frameSize : Rect{0, 11000, 0, 8000};
  }
  void resetView() { zoomed_ = false; }

  // Stage twips to device pixels for an output of w x h pixels: the zoom rectangle (or the
  // whole stage) placed by the scale mode and alignment.
  Matrix viewTransform(int w, int h) const {
    return stageTransform(zoomed_ ? zoom_ : stage(), w, h, scaleMode_, align_);
  }

  // Size of the output that pixel arguments refer to: the window, else the last draw, else the
  // stage at one pixel per 20 twips.
  void outputSize(int& w, int& h) const {
    RECT rc{0, 0, 0, 0};
    if (hwnd_) GetClientRect(hwnd_, &rc);
    w = rc.right, h = rc.bottom;
    if (w <= 0 || h <= 0) w = lastDrawW_, h = lastDrawH_;
    if (w <= 0 || h <= 0) {
      Rect s = stage();
      w = std::max(1, (s.xmax - s.xmin) / 20), h = std::max(1, (s.ymax - s.ymin) / 20);
    }
  }

  // Keeps a zoomed view inside the stage on each axis where it is smaller than the stage.
  void clampZoom() {
    Rect s = stage();
    auto clampAxis = [](int32_t& lo, int32_t& hi, int32_t smin, int32_t smax) {
      int32_t size = hi - lo;
      if (size >= smax - smin) return;
      if (lo < smin) lo = smin, hi = smin + size;
      if (hi > smax) hi = smax, lo = smax - size;
    };
    clampAxis(zoom_.xmin, zoom_.xmax, s.xmin, s.xmax);
    clampAxis(zoom_.ymin, zoom_.ymax, s.ymin, s.ymax);
  }

  // Zoom(percent): shows percent/100 of the current view about its centre; 0 shows the whole
  // movie again. Zooming out past the whole movie shows the whole movie.
  HRESULT zoom(long percent) {
    if (percent < 0) return E_INVALIDARG;
    if (!player_->loaded()) return E_FAIL;
    Rect s = stage();
    if (percent == 0) {
      resetView();
      return S_OK;
    }
    Rect cur = zoomed_ ? zoom_ : s;
    double f = percent / 100.0;
    double sw = s.xmax - s.xmin, sh = s.ymax - s.ymin;
    double w = (cur.xmax - cur.xmin) * f, h = (cur.ymax - cur.ymin) * f;
    if (w >= sw && h >= sh) {
      resetView();
      return S_OK;
    }
    double k = std::max({1.0, sw / kMaxZoom / w, sh / kMaxZoom / h});
    w *= k, h *= k;
    double cx = (cur.xmin + cur.xmax) / 2.0, cy = (cur.ymin + cur.ymax) / 2.0;
    zoom_ = Rect{static_cast<int32_t>(std::lround(cx - w / 2)), static_cast<int32_t>(std::lround(cx + w / 2)),
                 static_cast<int32_t>(std::lround(cy - h / 2)), static_cast<int32_t>(std::lround(cy + h / 2))};
    zoomed_ = true;
    clampZoom();
    return S_OK;
  }

  // Pan(x, y, mode): moves a zoomed view right by x and down by y, in pixels of the output
  // (mode 0) or in percent of the view's size (mode 1). Without zoom there is nothing to move.
  HRESULT pan(long x, long y, long mode) {
    if (mode != 0 && mode != 1) return E_INVALIDARG;
    if (!player_->loaded()) return E_FAIL;
    if (!zoomed_) return S_OK;
    double dx, dy;
    if (mode == 1) {
      dx = (zoom_.xmax - zoom_.xmin) * x / 100.0;
      dy = (zoom_.ymax - zoom_.ymin) * y / 100.0;
    } else {
      int w, h;
      outputSize(w, h);
      Matrix v = viewTransform(w, h);
      dx = x / v.a;
      dy = y / v.d;
    }
    auto shift = [](int32_t& lo, int32_t& hi, double d) {
      d = std::clamp(d, -1e9, 1e9);
      lo = static_cast<int32_t>(std::lround(lo + d));
      hi = static_cast<int32_t>(std::lround(hi + d));
    };
    shift(zoom_.xmin, zoom_.xmax, dx);
    shift(zoom_.ymin, zoom_.ymax, dy);
    clampZoom();
    return S_OK;
  }

  // --- drawing ---------------------------------------------------------------------------------

  // Renders the movie into r of hdc. In transparent mode a draw for the host is composed over
  // what the DC already shows; otherwise, and always in the control's own window (whose old
  // pixels are only its previous frame), the background (the movie's, or BackgroundColor) fills r.
  bool paint(HDC hdc, const RECT& r, bool forHost) {
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    lastDrawW_ = w, lastDrawH_ = h;
    // Very large targets (printers) get a smaller render stretched onto them.
    double shrink = std::min(1.0, std::sqrt(kMaxRenderPixels / (double(w) * h)));
    int rw = std::max(1, static_cast<int>(w * shrink)), rh = std::max(1, static_cast<int>(h * shrink));
    Surface s(rw, rh);
    RenderOptions ro;
    ro.view = viewTransform(rw, rh);
    if (hasBackground_) {
      ro.hasBackgroundOverride = true;
      ro.backgroundOverride = background_;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = rw;
    bi.bmiHeader.biHeight = -rh;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    if (forHost && wmode_ == WModeTransparent && readBack(hdc, r, s)) ro.drawBackground = false;
    renderPlayer(*player_, s, ro);
    for (auto& p : s.pixels) p |= 0xFF000000u;  // every pixel is opaque once composed
    int old = SetStretchBltMode(hdc, HALFTONE);
    int lines = StretchDIBits(hdc, r.left, r.top, w, h, 0, 0, rw, rh, s.pixels.data(), &bi, DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(hdc, old);
    return lines != 0 && lines != static_cast<int>(GDI_ERROR);
  }

  // Copies what the DC shows in r into the surface (opaque), scaled to the surface's size.
  static bool readBack(HDC hdc, const RECT& r, Surface& s) {
    HDC mem = CreateCompatibleDC(hdc);
    if (!mem) return false;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = s.width;
    bi.bmiHeader.biHeight = -s.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(hdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bmp && bits) {
      HGDIOBJ old = SelectObject(mem, bmp);
      SetStretchBltMode(mem, HALFTONE);
      ok = StretchBlt(mem, 0, 0, s.width, s.height, hdc, r.left, r.top, r.right - r.left, r.bottom - r.top,
                      SRCCOPY) != FALSE;
      GdiFlush();
      if (ok) {
        const uint32_t* p = static_cast<const uint32_t*>(bits);
        for (size_t i = 0; i < s.pixels.size(); ++i) s.pixels[i] = p[i] | 0xFF000000u;
      }
      SelectObject(mem, old);
    }
    if (bmp) DeleteObject(bmp);
    DeleteDC(mem);
    return ok;
  }

  void invalidate() {
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
  }

  // --- frames ----------------------------------------------------------------------------------

  void startTimer() {
    if (!hwnd_) return;
    auto m = player_->movie();
    double fps = m ? m->header.frameRate() : 12;
    if (fps < 1) fps = 12;
    SetTimer(hwnd_, kFrameTimer, static_cast<UINT>(std::max(1.0, 1000.0 / std::min(fps, 120.0))), nullptr);
  }

  bool atLastFrame() const {
    DisplayObject* r = player_->root(0);
    return r && r->currentFrame >= r->totalFrames();
  }

  // One frame tick. Without Loop the main timeline stops on its last frame instead of going
  // back to the first; its clips keep playing.
  // A tick that arrives while a handler of ours pumps messages waits: the player is still in
  // the middle of the run that raised the event.
  void tick() {
    if (!player_->loaded() || callbackDepth_ > 0) return;
    if (!loop_ && atLastFrame()) player_->stop("");
    callbackDepth_++;
    player_->advance();
    callbackDepth_--;
    afterPlayer();
  }

  // Play from the end of a movie that does not loop starts it again.
  bool playMain() {
    if (!player_->loaded()) return false;
    if (!loop_ && atLastFrame() && player_->totalFrames() > 1) {
      callbackDepth_++;
      player_->gotoFrame("", 0, true);
      callbackDepth_--;
      return true;
    }
    return player_->play("");
  }

  // --- dispatch --------------------------------------------------------------------------------

  // Runs a player operation that may execute scripts (and so raise events).
  template <typename F>
  bool run(F&& f) {
    callbackDepth_++;
    bool ok = f();
    callbackDepth_--;
    return ok;
  }

  HRESULT getOrCall(DISPID id, const InvokeArgs& a, VARIANT* result);
  HRESULT putProperty(DISPID id, const InvokeArgs& a);
  HRESULT gotoMain(long frame0) {
    if (frame0 < 0) return E_INVALIDARG;
    if (!player_->loaded()) return E_FAIL;
    run([&] { return player_->gotoFrame("", static_cast<int>(frame0), false); });
    return S_OK;
  }

  // --- window ----------------------------------------------------------------------------------

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<MovieControl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    self->AddRef();  // a handler run below may release the control
    LRESULT r = self->handle(hwnd, msg, wp, lp);
    self->Release();
    return r;
  }

  void mouseTo(HWND hwnd, LPARAM lp) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    if (rc.right <= 0 || rc.bottom <= 0) return;
    Matrix inv = viewTransform(rc.right, rc.bottom).inverted();
    double x, y;
    inv.apply(static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp)), x, y);
    player_->mouseMove(x, y);
  }

  LRESULT handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_TIMER:
        if (wp == kFrameTimer) tick();
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT rc;
        GetClientRect(hwnd, &rc);
        paint(dc, rc, false);
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_PRINTCLIENT: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        paint(reinterpret_cast<HDC>(wp), rc, false);
        return 0;
      }
      case WM_ERASEBKGND:
        return 1;
      case WM_SIZE:
        invalidate();
        return 0;
      case WM_GETDLGCODE:
        // Inside a dialog the movie keeps arrows, tab and enter for its own buttons and keys.
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
      case WM_MOUSEACTIVATE:
        return MA_ACTIVATE;
      case WM_MOUSEMOVE:
      case WM_LBUTTONDOWN:
      case WM_LBUTTONUP: {
        if (!player_->loaded() || callbackDepth_ > 0) return 0;
        run([&] {
          mouseTo(hwnd, lp);
          if (msg == WM_LBUTTONDOWN) {
            SetFocus(hwnd);
            SetCapture(hwnd);
            player_->mouseDown();
          } else if (msg == WM_LBUTTONUP) {
            ReleaseCapture();
            player_->mouseUp();
          }
          return true;
        });
        afterPlayer();
        return 0;
      }
      case WM_KEYDOWN:
      case WM_KEYUP: {
        if (!player_->loaded() || callbackDepth_ > 0) return 0;
        run([&] {
          if (msg == WM_KEYDOWN) {
            BYTE state[256];
            GetKeyboardState(state);
            WORD ch = 0;
            int n = ToAscii(static_cast<UINT>(wp), (lp >> 16) & 0xFF, state, &ch, 0);
            player_->keyDown(static_cast<int>(wp), n == 1 ? (ch & 0xFF) : 0);
          } else {
            player_->keyUp(static_cast<int>(wp));
          }
          return true;
        });
        afterPlayer();
        return 0;
      }
      case WM_CONTEXTMENU: {
        if (!menu_) break;  // the host's own menu, if any
        POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        if (lp == -1) {  // from the keyboard: the window's centre
          RECT rc;
          GetClientRect(hwnd, &rc);
          pt = POINT{rc.right / 2, rc.bottom / 2};
          ClientToScreen(hwnd, &pt);
        }
        HMENU menu = buildMenu();
        TrackPopupMenu(menu, TPM_RIGHTBUTTON, pt.x, pt.y, 0, hwnd, nullptr);
        DestroyMenu(menu);
        return 0;
      }
      case WM_COMMAND:
        if (HIWORD(wp) == 0 && lp == 0) {
          menuCommand(LOWORD(wp));
          return 0;
        }
        break;
      default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }

  HMENU buildMenu() const {
    bool loaded = player_->loaded();
    UINT on = loaded ? MF_ENABLED : MF_GRAYED;
    auto check = [](bool b) { return b ? MF_CHECKED : MF_UNCHECKED; };
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING | on, kCmdZoomIn, L"Zoom In");
    AppendMenuW(m, MF_STRING | (zoomed_ ? on : MF_GRAYED), kCmdZoomOut, L"Zoom Out");
    AppendMenuW(m, MF_STRING | on | check(!zoomed_), kCmdShowAll, L"Show All");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING | check(quality_ == 0), kCmdLow, L"Low");
    AppendMenuW(m, MF_STRING | check(quality_ == 4), kCmdMedium, L"Medium");
    AppendMenuW(m, MF_STRING | check(quality_ == 1), kCmdHigh, L"High");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING | on | check(loaded && player_->isPlaying()), kCmdPlay, L"Play");
    AppendMenuW(m, MF_STRING | on | check(loop_), kCmdLoop, L"Loop");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING | on, kCmdRewind, L"Rewind");
    AppendMenuW(m, MF_STRING | on, kCmdForward, L"Forward");
    AppendMenuW(m, MF_STRING | on, kCmdBack, L"Back");
    return m;
  }

  void menuCommand(UINT cmd) {
    switch (cmd) {
      case kCmdZoomIn: zoom(50); break;
      case kCmdZoomOut: zoom(200); break;
      case kCmdShowAll: zoom(0); break;
      case kCmdLow: quality_ = 0; break;
      case kCmdMedium: quality_ = 4; break;
      case kCmdHigh: quality_ = 1; break;
      case kCmdPlay:
        if (player_->isPlaying())
          player_->stop("");
        else
          run([&] { return playMain(); });
        break;
      case kCmdLoop: loop_ = !loop_; break;
      case kCmdRewind: gotoMain(0); break;
      case kCmdForward: gotoMain(player_->currentFrame("") + 1); break;
      case kCmdBack: gotoMain(std::max(0, player_->currentFrame("") - 1)); break;
      default: return;
    }
    afterPlayer();
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
    hwnd_ = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, pos.left,
                            pos.top, pos.right - pos.left, pos.bottom - pos.top, parent, nullptr, g_module, this);
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
  int callbackDepth_ = 0;  // > 0 while the player runs and may call out to host code
  std::vector<PendingLoad> pending_;
  long readyState_ = kStateEmpty;
  std::string movieUrl_;
  std::string base_;
  std::string flashVars_, swRemote_, scriptAccess_;
  int quality_ = 1;  // index into kQualityNames
  ScaleMode scaleMode_ = ScaleMode::ShowAll;
  unsigned align_ = 0;  // Align bits
  int wmode_ = WModeWindow;
  bool autoPlay_ = true;
  bool loop_ = true;
  bool menu_ = true;
  bool deviceFont_ = false;
  bool embedMovie_ = false;
  bool hasBackground_ = false;
  RGBA background_;
  bool zoomed_ = false;
  Rect zoom_;  // visible part of the stage in twips while zoomed
  int lastDrawW_ = 0, lastDrawH_ = 0;
};

std::string alignText(unsigned align) {
  std::string s;
  if (align & AlignTop) s += 'T';
  if (align & AlignBottom) s += 'B';
  if (align & AlignLeft) s += 'L';
  if (align & AlignRight) s += 'R';
  return s;
}

// "TL", "b", "" ...: letters L, R, T, B in any order and case; opposite sides cannot combine.
bool parseAlign(const std::string& s, unsigned& out) {
  unsigned a = 0;
  for (char c : s) {
    switch (c) {
      case 'L': case 'l': a |= AlignLeft; break;
      case 'R': case 'r': a |= AlignRight; break;
      case 'T': case 't': a |= AlignTop; break;
      case 'B': case 'b': a |= AlignBottom; break;
      default: return false;
    }
  }
  out = a;
  return true;
}

bool validAlign(long a) {
  return a >= 0 && a <= 15 && (a & (AlignLeft | AlignRight)) != (AlignLeft | AlignRight) &&
         (a & (AlignTop | AlignBottom)) != (AlignTop | AlignBottom);
}

// "#RRGGBB" or "RRGGBB"; "" (no colour of the host's own) gives -1.
bool parseColor(const std::string& s, long& out) {
  if (s.empty()) {
    out = -1;
    return true;
  }
  std::string hex = s[0] == '#' ? s.substr(1) : s;
  if (hex.size() != 6) return false;
  for (char c : hex)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  out = std::stol(hex, nullptr, 16);
  return true;
}

HRESULT MovieControl::getOrCall(DISPID id, const InvokeArgs& a, VARIANT* result) {
  std::string s1, s2;
  long n1 = 0, n2 = 0, n3 = 0;
  HRESULT hr = S_OK;
  bool loaded = player_->loaded();
  switch (id) {
    // properties
    case dReadyState: setLong(result, readyState_); return S_OK;
    case dTotalFrames: setLong(result, player_->totalFrames()); return S_OK;
    case dPlaying:
    case dIsPlaying: setBool(result, loaded && player_->isPlaying()); return S_OK;
    case dQuality: setLong(result, quality_); return S_OK;
    case dQuality2: setText(result, kQualityNames[quality_]); return S_OK;
    case dScaleMode: setLong(result, static_cast<long>(scaleMode_)); return S_OK;
    case dScale: setText(result, kScaleNames[static_cast<int>(scaleMode_)]); return S_OK;
    case dAlignMode: setLong(result, static_cast<long>(align_)); return S_OK;
    case dSAlign: setText(result, alignText(align_)); return S_OK;
    case dBackgroundColor:
      setLong(result, hasBackground_ ? (background_.r << 16) | (background_.g << 8) | background_.b : -1);
      return S_OK;
    case dBGColor: {
      char buf[16] = "";
      if (hasBackground_) std::snprintf(buf, sizeof buf, "#%02X%02X%02X", background_.r, background_.g, background_.b);
      setText(result, buf);
      return S_OK;
    }
    case dLoop: setBool(result, loop_); return S_OK;
    case dMovie: setText(result, movieUrl_); return S_OK;
    case dFrameNum:
    case dCurrentFrame:
      if (!loaded) return E_FAIL;
      setLong(result, player_->currentFrame(""));
      return S_OK;
    case dWMode: setText(result, kWModeNames[wmode_]); return S_OK;
    case dMenu: setBool(result, menu_); return S_OK;
    case dBase: setText(result, base_); return S_OK;
    case dDeviceFont: setBool(result, deviceFont_); return S_OK;
    case dEmbedMovie: setBool(result, embedMovie_); return S_OK;
    case dSWRemote: setText(result, swRemote_); return S_OK;
    case dFlashVars: setText(result, flashVars_); return S_OK;
    case dAllowScriptAccess: setText(result, scriptAccess_); return S_OK;
    case dPercentLoaded: setLong(result, loaded ? 100 : 0); return S_OK;
    case dFlashVersion: setLong(result, 0x00070000); return S_OK;  // major version in the high word
    case dFrameLoaded:
      if (FAILED(hr = a.integer(0, n1))) return hr;
      setBool(result, loaded && n1 >= 0 && n1 < player_->totalFrames());
      return S_OK;

    // view
    case dZoom:
      if (FAILED(hr = a.integer(0, n1))) return hr;
      hr = zoom(n1);
      invalidate();
      return hr;
    case dSetZoomRect: {
      long l, t, r, b;
      if (FAILED(hr = a.integer(0, l)) || FAILED(hr = a.integer(1, t)) || FAILED(hr = a.integer(2, r)) ||
          FAILED(hr = a.integer(3, b)))
        return hr;
      if (r <= l || b <= t) return E_INVALIDARG;
      if (!loaded) return E_FAIL;
      zoom_ = Rect{static_cast<int32_t>(l), static_cast<int32_t>(r), static_cast<int32_t>(t), static_cast<int32_t>(b)};
      zoomed_ = true;
      invalidate();
      return S_OK;
    }
    case dPan:
      if (FAILED(hr = a.integer(0, n1)) || FAILED(hr = a.integer(1, n2)) || FAILED(hr = a.integer(2, n3))) return hr;
      hr = pan(n1, n2, n3);
      invalidate();
      return hr;

    // main timeline
    case dPlay: return run([&] { return playMain(); }) ? S_OK : E_FAIL;
    case dStop:
    case dStopPlay: return player_->stop("") ? S_OK : E_FAIL;
    case dRewind: return gotoMain(0);
    case dBack: return loaded ? gotoMain(std::max(0, player_->currentFrame("") - 1)) : E_FAIL;
    case dForward: return loaded ? gotoMain(player_->currentFrame("") + 1) : E_FAIL;
    case dGotoFrame:
      if (FAILED(hr = a.integer(0, n1))) return hr;
      return gotoMain(n1);
    case dLoadMovie:
      if (FAILED(hr = a.integer(0, n1)) || FAILED(hr = a.text(1, s1))) return hr;
      if (n1 < 0) return E_INVALIDARG;
      return requestLoad(static_cast<int>(n1), s1) ? S_OK : E_FAIL;

    // variables and targets
    case dGetVariable:
      if (FAILED(hr = a.text(0, s1))) return hr;
      if (!run([&] { return player_->getVariable(s1, s2); })) return E_FAIL;
      setText(result, s2);
      return S_OK;
    case dSetVariable:
      if (FAILED(hr = a.text(0, s1)) || FAILED(hr = a.text(1, s2))) return hr;
      return run([&] { return player_->setVariable(s1, s2); }) ? S_OK : E_FAIL;
    case dTPlay:
    case dTStopPlay:
      if (FAILED(hr = a.text(0, s1))) return hr;
      return (id == dTPlay ? player_->play(s1) : player_->stop(s1)) ? S_OK : E_FAIL;
    case dTGotoLabel:
    case dTCallLabel:
      if (FAILED(hr = a.text(0, s1)) || FAILED(hr = a.text(1, s2))) return hr;
      return run([&] { return id == dTCallLabel ? player_->callLabel(s1, s2) : player_->gotoLabel(s1, s2, false); })
                 ? S_OK
                 : E_FAIL;
    case dTGotoFrame:
    case dTCallFrame:
      if (FAILED(hr = a.text(0, s1)) || FAILED(hr = a.integer(1, n1))) return hr;
      return run([&] {
               int f = static_cast<int>(n1);
               return id == dTCallFrame ? player_->callFrame(s1, f) : player_->gotoFrame(s1, f, false);
             })
                 ? S_OK
                 : E_FAIL;
    case dTCurrentFrame:
      if (FAILED(hr = a.text(0, s1))) return hr;
      n1 = player_->currentFrame(s1);
      if (n1 < 0) return E_FAIL;
      setLong(result, n1);
      return S_OK;
    case dTCurrentLabel: {
      if (FAILED(hr = a.text(0, s1))) return hr;
      DisplayObject* t = player_->findTarget(s1);
      if (!t || !t->isClip()) return E_FAIL;
      setText(result, player_->currentLabel(s1));
      return S_OK;
    }
    case dTGetProperty:
    case dTGetPropertyNum:
    case dTGetPropertyAsNumber: {
      if (FAILED(hr = a.text(0, s1)) || FAILED(hr = a.integer(1, n1))) return hr;
      DisplayObject* t = player_->findTarget(s1);
      if (!t || n1 < 0 || n1 > 21) return E_FAIL;
      Value v = player_->getClipProperty(t, static_cast<int>(n1));
      if (id == dTGetProperty)
        setText(result, player_->toString(v));
      else
        setReal(result, player_->toNumber(v));
      return S_OK;
    }
    case dTSetProperty:
    case dTSetPropertyNum: {
      if (FAILED(hr = a.text(0, s1)) || FAILED(hr = a.integer(1, n1))) return hr;
      if (id == dTSetPropertyNum) {
        double d;
        if (FAILED(hr = a.real(2, d))) return hr;
        s2 = numberToString(d);
      } else if (FAILED(hr = a.text(2, s2))) {
        return hr;
      }
      return run([&] { return player_->setProperty(s1, static_cast<int>(n1), s2); }) ? S_OK : E_FAIL;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT MovieControl::putProperty(DISPID id, const InvokeArgs& a) {
  std::string s;
  long n = 0;
  bool b = false;
  HRESULT hr = S_OK;
  switch (id) {
    case dPlaying:
      if (FAILED(hr = a.boolean(0, b))) return hr;
      autoPlay_ = b;  // also holds for movies loaded later
      if (player_->loaded()) b ? run([&] { return playMain(); }) : player_->stop("");
      return S_OK;
    case dQuality:
      if (FAILED(hr = a.integer(0, n))) return hr;
      if (n < 0 || n >= static_cast<long>(std::size(kQualityNames))) return E_INVALIDARG;
      quality_ = static_cast<int>(n);
      return S_OK;
    case dQuality2: {
      if (FAILED(hr = a.text(0, s))) return hr;
      int q = lookup(s, kQualityNames);
      if (q < 0) return E_INVALIDARG;
      quality_ = q;
      return S_OK;
    }
    case dScaleMode:
    case dScale: {
      int m;
      if (id == dScaleMode) {
        if (FAILED(hr = a.integer(0, n))) return hr;
        m = n >= 0 && n <= 3 ? static_cast<int>(n) : -1;
      } else {
        if (FAILED(hr = a.text(0, s))) return hr;
        m = lookup(s, kScaleNames);
      }
      if (m < 0) return E_INVALIDARG;
      scaleMode_ = static_cast<ScaleMode>(m);
      invalidate();
      return S_OK;
    }
    case dAlignMode:
      if (FAILED(hr = a.integer(0, n))) return hr;
      if (!validAlign(n)) return E_INVALIDARG;
      align_ = static_cast<unsigned>(n);
      invalidate();
      return S_OK;
    case dSAlign: {
      unsigned al;
      if (FAILED(hr = a.text(0, s))) return hr;
      if (!parseAlign(s, al) || !validAlign(al)) return E_INVALIDARG;
      align_ = al;
      invalidate();
      return S_OK;
    }
    case dBackgroundColor:
    case dBGColor:
      if (id == dBackgroundColor) {
        if (FAILED(hr = a.integer(0, n))) return hr;
        if (n > 0xFFFFFF) return E_INVALIDARG;
      } else {
        if (FAILED(hr = a.text(0, s))) return hr;
        if (!parseColor(s, n)) return E_INVALIDARG;
      }
      hasBackground_ = n >= 0;
      background_ = RGBA{static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 255};
      invalidate();
      return S_OK;
    case dLoop:
      if (FAILED(hr = a.boolean(0, b))) return hr;
      loop_ = b;
      return S_OK;
    case dMovie:
      if (FAILED(hr = a.text(0, s))) return hr;
      return requestLoad(0, s) ? S_OK : E_FAIL;
    case dFrameNum:
      if (FAILED(hr = a.integer(0, n))) return hr;
      return gotoMain(n);
    case dWMode: {
      if (FAILED(hr = a.text(0, s))) return hr;
      int w = lookup(s, kWModeNames);
      if (w < 0) return E_INVALIDARG;
      wmode_ = w;
      invalidate();
      return S_OK;
    }
    case dMenu:
    case dDeviceFont:
    case dEmbedMovie:
      if (FAILED(hr = a.boolean(0, b))) return hr;
      (id == dMenu ? menu_ : id == dDeviceFont ? deviceFont_ : embedMovie_) = b;
      return S_OK;
    case dBase:
    case dSWRemote:
    case dFlashVars:
    case dAllowScriptAccess:
      if (FAILED(hr = a.text(0, s))) return hr;
      (id == dBase ? base_ : id == dSWRemote ? swRemote_ : id == dFlashVars ? flashVars_ : scriptAccess_) = s;
      return S_OK;
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
