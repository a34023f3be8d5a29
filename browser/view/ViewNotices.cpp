#include "view/ViewNotices.h"

#include "CommandCodes.h"
#include "view/Notice.h"

#include <QBuffer>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QUrl>

namespace KEL {

void ViewNotices::progress(int32_t percent) {
    Notice(m_sink, Code::PROG).string(0, m_name).integer(0, percent).post();
}

void ViewNotices::postLoadFinished() {
    Notice(m_sink, Code::LDFN).string(0, m_name).post();
    m_loadFinishedPending = false;
}

void ViewNotices::title(const QString &title) {
    Notice(m_sink, Code::TITC).string(0, m_name).string(1, title).post();
}

// The address goes whole, with its terminating zero unit (counted in the length), however
// long it is: the data buffer's slots take up to 1 MiB.
void ViewNotices::address(const QUrl &url) {
    const QString address = url.toString() + QChar(u'\0');
    Notice(m_sink, Code::URLC).string(0, m_name).textPayload(0, address).post();
}

void ViewNotices::icon(const QIcon &icon) {
    if (icon.isNull())
        return;
    sendIcon(icon.pixmap(16, 16, QIcon::Normal, QIcon::Off).toImage());
}

void ViewNotices::icon(const QImage &picture) {
    if (picture.isNull())
        return;
    sendIcon(picture.width() > 16 || picture.height() > 16
                 ? picture.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                 : picture);
}

void ViewNotices::sendIcon(const QImage &image) {
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    image.save(&out, "PNG");
    if (png == m_iconPng)
        return;
    m_iconPng = png;
    Notice(m_sink, Code::ICNC).string(0, m_name).bytePayload(0, png).post();
}

void ViewNotices::contentsSize(const QSize &size) {
    Notice(m_sink, Code::UPCZ)
        .string(0, m_name)
        .integer(0, size.width())
        .integer(1, size.height())
        .post();
}

void ViewNotices::textFieldFocusIn(const QString &type, const QString &value, const QRect &bounds) {
    Notice notice(m_sink, Code::IMEI);
    notice.string(0, m_name).string(1, type);
    if (value.isEmpty())
        notice.integer(0, -1).integer(1, 0);
    else
        notice.textPayload(0, value);
    notice.integer(2, bounds.left())
        .integer(3, bounds.top())
        .integer(4, bounds.width())
        .integer(5, bounds.height())
        .post();
}

void ViewNotices::textFieldFocusOut() {
    Notice(m_sink, Code::IMEO).string(0, m_name).post();
}

} // namespace KEL
