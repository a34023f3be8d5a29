#pragma once
// Text-field support: the focus watcher injected into every main-frame document, what page
// script may call back (only focus in and focus out, posted as IMEI and IMEO), and setting the
// focused field's value (IMES). The view's other notices stay out of page script's reach, so a
// page cannot forge title, address, progress or load notices.

#include <QObject>
#include <QString>
#include <QVariant>

class QWebFrame;

namespace KEL {

class ViewNotices;

class TextFieldCallbacks : public QObject {
    Q_OBJECT
  public:
    explicit TextFieldCallbacks(ViewNotices &notices) : QObject(nullptr), m_notices(notices) {}

  public slots:
    void handleFocusIn(const QVariant &type, const QVariant &var, const QVariant &left,
                       const QVariant &top, const QVariant &width, const QVariant &height);
    void handleFocusOut(const QVariant &var);

  private:
    ViewNotices &m_notices;
};

// Runs the watcher script in the frame, reporting focus to `callbacks`; with `exposed`, page
// script also sees KEL_View offering the two focus calls and nothing else.
void installTextFieldWatcher(QWebFrame *frame, QObject *callbacks, bool exposed);
// Sets the value of the text field that has the focus in `frame`, if any, to exactly `text`.
void setFocusedTextFieldValue(QWebFrame *frame, const QString &text);

} // namespace KEL
