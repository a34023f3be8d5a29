#pragma once
// Native objects in page script without their QObject innards.
//
// The engine shows script every public slot, signal and property of an object it is given,
// inherited ones included: deleteLater, destroyed, objectName. A page that calls deleteLater
// on an object the browser still uses crashes the process, and one that sets objectName
// renames the object for every later page. So no native object is ever left where page
// script can reach it: it is added under a name nobody can guess, taken into a closure and
// deleted from the window before any page script runs, and pages see a plain script object
// that forwards only what the browser chooses.

#include <QString>
#include <QStringList>

class QObject;
class QWebFrame;

namespace KEL {

// Runs `body` as the body of a script function whose parameter `native` is `object`. Page
// script can never reach `object` itself; only what `body` hands out.
void runWithHiddenObject(QWebFrame *frame, QObject *object, const QString &body);

// Defines window[`name`] as an object offering `methods` (forwarded with their arguments) and,
// with `withProperties`, the object's dynamic string properties, read when script reads them.
void installFacade(QWebFrame *frame, const QString &name, QObject *object,
                   const QStringList &methods, bool withProperties);
// Gives the facade window[`name`] a getter for each property the object gained since.
void refreshFacade(QWebFrame *frame, const QString &name);

} // namespace KEL
