#pragma once
// Everything one view tells the host about itself, posted through the notice sink: progress
// (PROG), load end (LDFN, held back until the frames of the load have gone out), title (TITC),
// address (URLC), page icon (ICNC, only when it differs from the last one sent), contents size
// (UPCZ) and text-field focus (IMEI, IMEO). GUI thread only.

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>

class QIcon;
class QImage;
class QUrl;

namespace KEL {

class NoticeSink;

class ViewNotices {
  public:
    ViewNotices(NoticeSink &sink, const QString &viewName) : m_sink(sink), m_name(viewName) {}

    NoticeSink &sink() const { return m_sink; }

    void progress(int32_t percent);
    // The load ended (ok or not): LDFN waits for postLoadFinished().
    void loadEnded() { m_loadFinishedPending = true; }
    bool isLoadFinishedPending() const { return m_loadFinishedPending; }
    void postLoadFinished();
    void title(const QString &title);
    void address(const QUrl &url);
    // The 16 x 16 PNG of `icon`, when the icon exists and its PNG differs from the last sent.
    void icon(const QIcon &icon);
    // The same for an icon's picture: a larger one is scaled down to fit 16 x 16, as the icon's
    // own 16-pixel rendering would be.
    void icon(const QImage &picture);
    void contentsSize(const QSize &size);
    // An empty `value` goes as no payload (slot -1, length 0).
    void textFieldFocusIn(const QString &type, const QString &value, const QRect &bounds);
    void textFieldFocusOut();

  private:
    void sendIcon(const QImage &image);

    NoticeSink &m_sink;
    const QString m_name;
    QByteArray m_iconPng; // the last icon sent
    bool m_loadFinishedPending = false;
};

} // namespace KEL
