// Class descriptors and host values.
#include "runtime/script_class.h"

#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/object.h"

namespace nerva {

namespace {

CScriptValue g_undefined{};

void FinalizeHost(CScriptEngine&, void* payload) {
    auto* h = static_cast<CHostObject*>(payload);
    if (h->data && h->cls && h->cls->onRelease) h->cls->onRelease(h->cls, h->data);
    h->data = nullptr;
}

}  // namespace

const CScriptValue& CArgBlock::operator[](int i) const {
    return (i >= 0 && i < Count()) ? values_[i + 1] : g_undefined;
}

CScriptClass* NewClass(CScriptEngine& engine) {
    CScriptObject* proto = NewObject(engine);
    auto* cls = new CScriptClass{};
    cls->protoObject = proto;
    engine.classes.push_back(cls);
    return cls;
}

void DefineHostValue(CScriptEngine& engine, CScriptValue* dest, CScriptClass* cls, void* data) {
    auto* h = static_cast<CHostObject*>(HeapAllocFinal(engine, sizeof(CHostObject), &FinalizeHost));
    h->cls = cls;
    h->data = data;
    h->props = nullptr;
    // The wrapper owns data from here on, even if making its table fails.
    *dest = MakeHostValue(h);
    if (data) h->props = NewObjectWithProto(engine, cls->protoObject);
}

uint32_t DefineGlobalClass(CScriptEngine& engine, std::string_view name, CScriptClass* cls) {
    uint32_t atom = Intern(engine, name);
    CScriptValue v;
    DefineHostValue(engine, &v, cls, nullptr);
    engine.globals[atom] = v;
    return atom;
}

void SetTypeClass(CScriptEngine& engine, ValueTag tag, CScriptClass* cls) {
    if (tag < kTagCount) engine.typeClasses[tag] = cls;
}

CScriptClass* ClassByGlobalName(CScriptEngine& engine, std::string_view name) {
    int32_t atom = FindAtom(engine, name);
    if (atom < 0) return nullptr;
    const CScriptValue& v = engine.globals[atom];
    return v.tag == TagHost ? v.h->cls : nullptr;
}

std::vector<uint32_t>* InternMembers(CScriptEngine& engine, std::initializer_list<const char*> names) {
    auto* list = new std::vector<uint32_t>;
    list->reserve(names.size());
    for (const char* n : names) list->push_back(Intern(engine, n));
    return list;
}

void FreeMemberList(void* classData) { delete static_cast<std::vector<uint32_t>*>(classData); }

int MemberIndex(const void* classData, uint32_t atom) {
    const auto* list = static_cast<const std::vector<uint32_t>*>(classData);
    if (!list) return -1;
    for (size_t i = 0; i < list->size(); ++i)
        if ((*list)[i] == atom) return int(i);
    return -1;
}

void ReleaseHostData(CHostObject* host) {
    if (host->data && host->cls && host->cls->onRelease) host->cls->onRelease(host->cls, host->data);
    host->data = nullptr;
}

}  // namespace nerva
