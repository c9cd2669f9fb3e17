#pragma once

#include <functional>

#include "export/Automation.h"

// Maps programmatic identifiers ("Excel.Application") to the factories that create their
// objects. Identifiers are matched without regard to case. Used from the UI thread only.
namespace automation {

// Creates a new object; throws CreationError when it cannot.
using Factory = std::function<std::shared_ptr<Dispatch>()>;

// Registers `factory` under `progId` and returns the factory it replaces (empty if none), so a
// caller can put the previous one back. An empty `factory` unregisters the identifier.
Factory RegisterClass(const QString& progId, const Factory& factory);

// Creates an object of the class registered under `progId`. Throws CreationError when nothing is
// registered or the factory fails in any way; the error never escapes as another type.
std::shared_ptr<Dispatch> CreateObject(const QString& progId);

}  // namespace automation
