// Member access by value kind. Objects use their property tables only; host values and the
// built-in kinds go to their class first and fall back to their own property table, which
// chains to the class prototype.
#include "runtime/member.h"

#include <cmath>

#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/heap.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

const CScriptValue kNoArgs[1] = {MakeInt(0)};

void* SelfOf(CScriptValue* v) { return v->tag == TagHost ? v->h->data : static_cast<void*>(v); }

// The table a host value's members live in: its own table, or for the class value (and a
// wrapper without one) the class prototype.
CScriptObject* HostTable(CScriptValue* v) {
    CHostObject* h = v->h;
    if (h->props) return h->props;
    return h->cls ? h->cls->protoObject : nullptr;
}

void WarnUndefinedProperty(CScriptEngine& e, uint32_t atom) {
    Warn(e, "Warning: using undefined property \"%s\"", AtomName(e, atom).c_str());
}

bool HasOwnTableKind(uint32_t tag) { return tag == TagString || tag == TagArray || tag == TagFunction; }

bool IsActiveXInstance(CScriptEngine& e, CHostObject* h) {
    if (!h->data) return false;
    return h->cls && h->cls == ClassByGlobalName(e, "ActiveXObject");
}

}  // namespace

CScriptClass* ClassOf(CScriptEngine& e, const CScriptValue& v) {
    if (v.tag == TagHost) return v.h->cls;
    return v.tag < kTagCount ? e.typeClasses[v.tag] : nullptr;
}

bool TryGetMember(CScriptEngine& e, CScriptValue* obj, uint32_t atom, CScriptValue& out) {
    out = MakeUndefined();
    switch (obj->tag) {
        case TagObject:
            return GetProperty(e, obj->o, atom, out);
        case TagHost: {
            CScriptClass* cls = obj->h->cls;
            if (cls && cls->onProperty && cls->onProperty(e, cls, obj->h->data, atom, 0, &out)) return true;
            CScriptObject* table = HostTable(obj);
            if (atom == AtomProto) {
                if (!table) return false;
                out = MakeObjectValue(table);
                return true;
            }
            return table && GetProperty(e, table, atom, out);
        }
        case TagString:
        case TagArray:
        case TagFunction:
        case TagBoolean:
        case TagInteger:
        case TagFloat:
        case TagNaN: {
            CScriptClass* cls = e.typeClasses[obj->tag];
            if (cls && cls->onProperty && cls->onProperty(e, cls, obj, atom, 0, &out)) return true;
            if (atom == AtomProto && HasOwnTableKind(obj->tag)) {
                out = MakeObjectValue(OwnTable(e, *obj, true));
                return true;
            }
            if (HasOwnTableKind(obj->tag))
                if (CScriptObject* own = OwnTable(e, *obj, false)) return GetProperty(e, own, atom, out);
            return cls && cls->protoObject && GetProperty(e, cls->protoObject, atom, out);
        }
        default:
            return false;
    }
}

void GetMember(CScriptEngine& e, CScriptValue* obj, uint32_t atom, CScriptValue& out) {
    if (!TryGetMember(e, obj, atom, out)) WarnUndefinedProperty(e, atom);
}

void SetMember(CScriptEngine& e, CScriptValue* obj, uint32_t atom, const CScriptValue& value) {
    CScriptValue v = value;
    switch (obj->tag) {
        case TagObject:
            SetProperty(e, obj->o, atom, v);
            return;
        case TagHost: {
            CScriptClass* cls = obj->h->cls;
            if (cls && cls->onProperty && cls->onProperty(e, cls, obj->h->data, atom, 1, &v)) return;
            if (atom == AtomProto) {
                if (v.tag != TagObject) {
                    Warn(e, "Warning: can't set property \"%s\" with a wrong type", AtomName(e, atom).c_str());
                } else if (obj->h->props || !cls) {
                    obj->h->props = v.o;
                } else {
                    cls->protoObject = v.o;
                }
                return;
            }
            if (CScriptObject* table = HostTable(obj)) SetProperty(e, table, atom, v);
            return;
        }
        case TagString:
        case TagArray:
        case TagFunction:
        case TagBoolean:
        case TagInteger:
        case TagFloat:
        case TagNaN: {
            CScriptClass* cls = e.typeClasses[obj->tag];
            if (!cls) break;
            if (cls->onProperty && cls->onProperty(e, cls, obj, atom, 1, &v)) return;
            if (atom == AtomProto) {
                if (v.tag != TagObject) {
                    Warn(e, "Warning: can't set property \"%s\" with a wrong type", AtomName(e, atom).c_str());
                    return;
                }
                if (HasOwnTableKind(obj->tag)) {
                    CScriptObject** field = obj->tag == TagString ? &obj->s->props
                                            : obj->tag == TagArray ? &obj->a->props
                                                                   : &obj->fn->props;
                    *field = v.o;
                    return;
                }
                break;
            }
            if (HasOwnTableKind(obj->tag)) {
                SetProperty(e, OwnTable(e, *obj, true), atom, v);
                return;
            }
            break;
        }
        default:
            break;
    }
    WarnUndefinedProperty(e, atom);
}

bool StoreIntoScope(CScriptEngine& e, CScriptValue* obj, uint32_t atom, const CScriptValue& value) {
    CScriptValue v = value;
    if (obj->tag == TagObject) {
        PropSlot* slot = FindSlot(obj->o, atom);
        if (!slot) return false;
        SetProperty(e, obj->o, atom, v);
        return true;
    }
    CScriptClass* cls = ClassOf(e, *obj);
    if (cls && cls->onProperty && cls->onProperty(e, cls, SelfOf(obj), atom, 1, &v)) return true;
    CScriptObject* table = obj->tag == TagHost ? HostTable(obj) : OwnTable(e, *obj, false);
    if (!table || !FindSlot(table, atom)) return false;
    SetProperty(e, table, atom, v);
    return true;
}

void GetIndex(CScriptEngine& e, CScriptValue* obj, const CScriptValue& key, CScriptValue& out) {
    out = MakeUndefined();
    switch (obj->tag) {
        case TagObject:
            if (key.tag == TagAtom)
                GetProperty(e, obj->o, uint32_t(key.u), out);
            else
                GetByKey(e, obj->o, key, out);
            return;
        case TagArray: {
            uint64_t index;
            if (key.tag == TagInteger)
                index = uint32_t(uint64_t(key.i));
            else if (key.tag == TagFloat && std::isfinite(key.f))
                index = uint32_t(uint64_t(int64_t(std::fmod(std::trunc(key.f), 18446744073709551616.0))));
            else
                return;
            if (index < obj->a->length)
                if (CScriptValue* cell = GetElement(obj->a, index)) out = *cell;
            return;
        }
        case TagString: {
            if (key.tag != TagInteger) {
                Warn(e, "Warning: invalid index for operator []");
                return;
            }
            if (key.i < 0 || uint64_t(key.i) >= obj->s->length) {
                Warn(e, "Warning: string index out of range");
                return;
            }
            out = MakeInt(obj->s->chars[key.i]);
            return;
        }
        case TagHost: {
            CHostObject* h = obj->h;
            if (IsActiveXInstance(e, h)) {
                CScriptValue args[2] = {MakeInt(1), key};
                CScriptValue fresult = MakeUndefined();
                CScriptFunction* fn = nullptr;
                uint32_t item = Intern(e, "Item");
                if (ResolveMethod(e, obj, item, args, &fresult, &fn) == MethodResult::Native) out = fresult;
                return;
            }
            if (key.tag != TagString) return;
            uint32_t atom = Intern(e, ToNarrow(key.s));
            if (!TryGetMember(e, obj, atom, out) && !(h->cls && h->cls->onProperty)) WarnUndefinedProperty(e, atom);
            return;
        }
        default:
            return;
    }
}

void SetIndex(CScriptEngine& e, CScriptValue* obj, const CScriptValue& key, const CScriptValue& value) {
    switch (obj->tag) {
        case TagObject:
            if (key.tag == TagAtom)
                SetProperty(e, obj->o, uint32_t(key.u), value);
            else
                SetByKey(e, obj->o, key, value);
            return;
        case TagArray: {
            uint64_t index;
            if (key.tag == TagInteger)
                index = uint32_t(uint64_t(key.i));
            else if (key.tag == TagFloat && std::isfinite(key.f))
                index = uint32_t(uint64_t(int64_t(std::fmod(std::trunc(key.f), 18446744073709551616.0))));
            else
                return;
            CScriptArray* a = obj->a;
            PutElement(e, a, index, value);
            if (index >= a->length) a->length = index + 1;
            return;
        }
        case TagString: {
            CScriptString* s = obj->s;
            if (s->flags & kStringStatic) {
                Warn(e, "Warning: can't change a static string");
                return;
            }
            if (key.tag != TagInteger || key.i < 0) {
                Warn(e, "Warning: invalid index for operator []");
                return;
            }
            char16_t unit;
            if (value.tag == TagInteger) {
                unit = char16_t(value.i & 0xFF);
            } else if (value.tag == TagString) {
                if (value.s->length == 0) return;
                unit = value.s->chars[0];
            } else {
                Warn(e, "Warning: can't store a non-charactor value to string");
                return;
            }
            if (uint64_t(key.i) >= s->length) {
                if (key.i >= (int64_t(1) << 30)) RaiseRuntimeError(e, "Out of memory");
                ExtendString(e, s, uint32_t(key.i) + 1, u' ');
            }
            s->chars[key.i] = unit;
            return;
        }
        case TagHost: {
            if (key.tag == TagString) {
                uint32_t atom = Intern(e, ToNarrow(key.s));
                SetMember(e, obj, atom, value);
            } else if (key.tag != TagInteger) {
                Warn(e, "Warning: invalid index for operator []");
            }
            return;
        }
        default:
            return;
    }
}

void DeleteIndex(CScriptEngine& e, CScriptValue* obj, const CScriptValue& key) {
    if (obj->tag == TagArray) {
        if (key.tag == TagInteger && key.i >= 0) RemoveElement(e, obj->a, uint64_t(key.i));
    } else if (obj->tag == TagObject) {
        if (key.tag == TagAtom)
            DeleteProperty(e, obj->o, uint32_t(key.u));
        else
            DeleteByKey(e, obj->o, key);
    }
}

MethodResult ResolveMethod(CScriptEngine& e, CScriptValue* recv, uint32_t atom, const CScriptValue* args,
                           CScriptValue* result, CScriptFunction** function) {
    CArgBlock block(args);
    switch (recv->tag) {
        case TagHost: {
            CScriptClass* cls = recv->h->cls;
            *result = MakeUndefined();
            if (cls && cls->onMethod && cls->onMethod(e, cls, recv->h->data, atom, result, block))
                return MethodResult::Native;
            CScriptObject* table = HostTable(recv);
            if (table)
                if (PropSlot* s = FindSlot(table, atom); s && s->value.tag == TagFunction) {
                    *function = s->value.fn;
                    return MethodResult::Script;
                }
            return MethodResult::Unknown;
        }
        case TagObject: {
            if (PropSlot* s = FindSlot(recv->o, atom)) {
                if (s->value.tag == TagFunction) {
                    *function = s->value.fn;
                    return MethodResult::Script;
                }
                return MethodResult::Unknown;
            }
            CScriptClass* cls = e.typeClasses[TagObject];
            *result = MakeUndefined();
            if (cls && cls->onMethod && cls->onMethod(e, cls, recv, atom, result, block)) return MethodResult::Native;
            return MethodResult::Unknown;
        }
        default: {
            if (recv->tag >= kTagCount) return MethodResult::Unknown;
            CScriptClass* cls = e.typeClasses[recv->tag];
            if (!cls) return MethodResult::Unknown;
            *result = MakeUndefined();
            if (cls->onMethod && cls->onMethod(e, cls, recv, atom, result, block)) return MethodResult::Native;
            CScriptObject* table = HasOwnTableKind(recv->tag) ? OwnTable(e, *recv, false) : nullptr;
            if (!table) table = cls->protoObject;
            if (table)
                if (PropSlot* s = FindSlot(table, atom); s && s->value.tag == TagFunction) {
                    *function = s->value.fn;
                    return MethodResult::Script;
                }
            return MethodResult::Unknown;
        }
    }
}

bool CallConversionMethod(CScriptEngine& e, const CScriptValue& value, uint32_t atom, CScriptValue& out) {
    CScriptValue rooted[2] = {value, MakeUndefined()};
    CValueRoot root(e, rooted, 2);
    CScriptFunction* fn = nullptr;
    MethodResult r = ResolveMethod(e, &rooted[0], atom, kNoArgs, &rooted[1], &fn);
    if (r == MethodResult::Native) {
        out = rooted[1];
        return true;
    }
    if (r != MethodResult::Script) return false;
    CScriptValue fv = MakeFunctionValue(fn);
    return CallFromNative(e, rooted[0], fv, kNoArgs, out);
}

bool CallClassMethod(CScriptEngine& e, const CScriptValue& value, uint32_t atom, CScriptValue& out) {
    CScriptValue rooted[2] = {value, MakeUndefined()};
    CValueRoot root(e, rooted, 2);
    CScriptClass* cls = ClassOf(e, value);
    if (!cls || !cls->onMethod) return false;
    if (!cls->onMethod(e, cls, SelfOf(&rooted[0]), atom, &rooted[1], CArgBlock(kNoArgs))) return false;
    out = rooted[1];
    return true;
}

}  // namespace nerva
