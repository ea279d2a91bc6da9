// The core classes every engine starts with: the global values and functions first, then the
// built-in classes.
#include "runtime/classes/class_util.h"

namespace nerva {

void RegisterCoreClasses(CScriptEngine& engine) {
    RegisterGlobals(engine);
    RegisterObjectAndFunction(engine);
    RegisterArray(engine);
    RegisterString(engine);
    RegisterDate(engine);
    RegisterRegExp(engine);
    RegisterNumberBooleanMath(engine);
}

}  // namespace nerva
