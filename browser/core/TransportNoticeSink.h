#pragma once
// The notice sink of a browser context: records go to the command segment and payloads to the
// data segment that its start-up opened. Before the segments are open (or after shutdown)
// every notice is dropped and every payload gets slot -1.

#include "view/Notice.h"

namespace KEL {

class BrowserContext;

class TransportNoticeSink final : public NoticeSink {
  public:
    explicit TransportNoticeSink(BrowserContext &context) : m_context(context) {}

    bool postNotice(const Command &command) override;
    int32_t storePayload(const void *bytes, int32_t length) override;
    void releasePayload(int32_t slot) override;

  private:
    BrowserContext &m_context;
};

} // namespace KEL
