#pragma once
// The focus watcher injected into every main-frame document, and what page script may call
// back: only focus in and focus out. The view's other slots stay out of page script's reach,
// so a page cannot forge title, address, progress or load notices.

#include <QObject>
#include <QString>
#include <QVariant>

class QWebFrame;

namespace KEL {

class WebView;

class TextFieldCallbacks : public QObject {
    Q_OBJECT
  public:
    explicit TextFieldCallbacks(WebView &view) : QObject(nullptr), m_view(view) {}

  public slots:
    void handleFocusIn(const QVariant &type, const QVariant &var, const QVariant &left,
                       const QVariant &top, const QVariant &width, const QVariant &height);
    void handleFocusOut(const QVariant &var);

  private:
    WebView &m_view;
};

// Adds `callbacks` as KEL_View and runs the watcher script in the frame.
void installTextFieldWatcher(QWebFrame *frame, QObject *callbacks);

// A double-quoted script string literal holding exactly `text`: backslash, both quotes, every
// control character and the two script line separators become \uXXXX.
QString scriptStringLiteral(const QString &text);

} // namespace KEL
