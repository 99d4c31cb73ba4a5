#include "Store.h"

namespace zdxserver {

bool DocumentStore::HasIndex(const std::string& name) const {
    for (const auto& f : Folders())
        if (f.name == name)
            return true;
    return false;
}

} // namespace zdxserver
