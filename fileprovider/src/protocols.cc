// Out-of-line destructors: they anchor the protocols' type information in this
// library, so that extensions loaded at run time share it with the platform.
#include "fileprovider/dispatch.h"
#include "fileprovider/enumerator.h"
#include "fileprovider/extension.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/item.h"

namespace fp {

Item::~Item() = default;
EnumerationObserver::~EnumerationObserver() = default;
ChangeObserver::~ChangeObserver() = default;
Enumerator::~Enumerator() = default;
ReplicatedExtension::~ReplicatedExtension() = default;
Thumbnailing::~Thumbnailing() = default;
DispatchQueue::~DispatchQueue() = default;
FileManager::~FileManager() = default;

}  // namespace fp
