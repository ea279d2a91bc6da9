// Off Windows there is no resource directory: titles are read through tables the caller fills.
#include "app/resources.h"

namespace vantor {

std::unique_ptr<ResourceSource> MakeModuleResources() { return std::make_unique<InMemoryResources>(); }

}  // namespace vantor
