#include "core/BrowserContext.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "TextureBuffer.h"
#include "core/Engine.h"
#include "core/ViewRegistry.h"

#include <QCoreApplication>

namespace KEL {

BrowserContext::BrowserContext() = default;

BrowserContext::~BrowserContext() = default;

void BrowserContext::requestExit() {
    exiting = true;
    QCoreApplication::exit(0);
}

} // namespace KEL
