#include "bridge/BridgeObject.h"

#include "CommandCodes.h"
#include "view/Notice.h"

namespace KEL {

// Runs inside page script: never blocks. A text larger than any free data slot goes out with
// slot -1 (the host skips it); a full command segment loses the call, as for any notice.
void BridgeObject::invoke(QString methodName, QVariant arg0, QVariant arg1, QVariant arg2,
                          QVariant arg3, QVariant arg4, QVariant arg5, QVariant arg6) {
    const QVariant *args[] = {&arg0, &arg1, &arg2, &arg3, &arg4, &arg5, &arg6};
    Notice notice(m_sink, Code::INVK);
    notice.string(0, objectName()).string(1, methodName);
    int32_t present = 0;
    for (int k = 0; k < 7; ++k) {
        if (!args[k]->isValid())
            continue; // keeps its position empty
        notice.textPayload(1 + 2 * k, args[k]->toString());
        ++present;
    }
    notice.integer(0, present).intCount(2 * present + 1).post();
}

} // namespace KEL
