#include "bridge/BridgeObject.h"

#include "CommandCodes.h"
#include "view/Notice.h"

namespace KEL {

// Runs inside page script: never blocks. A text larger than any free data slot goes out with
// slot -1 (the host skips it); a full command segment loses the call, as for any notice.
// Arguments keep their positions: an undefined one between others (invoke('m', undefined, 'x'))
// is a hole, slot -1 and length 0, and n counts up to the last argument given, so a host that
// reads the pairs in order finds every payload where the table says it is.
void BridgeObject::invoke(QString methodName, QVariant arg0, QVariant arg1, QVariant arg2,
                          QVariant arg3, QVariant arg4, QVariant arg5, QVariant arg6) {
    const QVariant *args[] = {&arg0, &arg1, &arg2, &arg3, &arg4, &arg5, &arg6};
    Notice notice(m_sink, Code::INVK);
    notice.string(0, objectName()).string(1, methodName).string(2, m_viewName);
    int32_t count = 0;
    for (int k = 0; k < 7; ++k) {
        if (args[k]->isValid()) {
            notice.textPayload(1 + 2 * k, args[k]->toString());
            count = k + 1;
        } else {
            notice.integer(1 + 2 * k, -1).integer(2 + 2 * k, 0);
        }
    }
    notice.integer(0, count).intCount(2 * count + 1).post();
}

} // namespace KEL
