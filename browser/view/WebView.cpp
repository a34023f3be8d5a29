#include "view/WebView.h"

#include "core/CommandCatalogue.h"
#include "core/Notice.h"
#include "view/WebPage.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QIcon>
#include <QPixmap>
#include <QWebFrame>

#include <algorithm>

namespace KEL {

namespace {

constexpr uint32_t kMinViewSide = 128;
constexpr uint32_t kMaxViewSide = 1024;

// Unsigned on purpose: a negative size from the host arrives as a huge number and is clamped
// to the largest side, never to a negative one.
uint32_t clampSide(uint32_t side) {
    return std::clamp(side, kMinViewSide, kMaxViewSide);
}

uint32_t powerOfTwoAtLeast(uint32_t side) {
    uint32_t power = 1;
    while (power < side)
        power *= 2;
    return power;
}

} // namespace

WebView::WebView(const QString &name, bool partialUpdates)
    : QGraphicsWebView(nullptr), m_name(name), m_page(new WebPage(this)),
      m_partialUpdates(partialUpdates) {
    setPage(m_page);
    m_savedPalette = m_page->palette();

    m_scene = new QGraphicsScene();
    m_graphicsView = new QGraphicsView(m_scene);
    m_scene->addItem(this);

    m_active = true;
    setTiledBackingStoreFrozen(true);

    // Never shown: it only routes input events to the item. (DontClipPainter has no effect in
    // Qt 5 and is left out.)
    m_graphicsView->setInteractive(true);
    m_graphicsView->setCacheMode(QGraphicsView::CacheNone);
    m_graphicsView->setOptimizationFlag(QGraphicsView::DontSavePainterState, true);
    m_graphicsView->setOptimizationFlag(QGraphicsView::DontAdjustForAntialiasing, true);

    connect(this, &QGraphicsWebView::loadFinished, this, &WebView::loadFinished);
    connect(m_page->mainFrame(), &QWebFrame::loadStarted, this, &WebView::loadStarted);
    connect(this, &QGraphicsWebView::urlChanged, this, &WebView::urlChanged);
    connect(this, &QGraphicsWebView::titleChanged, this, &WebView::titleChanged);
    connect(m_page->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this,
            &WebView::javaScriptWindowObjectCleared);
    connect(this, &QGraphicsWebView::loadProgress, this, &WebView::setProgress);
}

WebView::~WebView() {
    m_pageImage = QImage();
    m_textureImage = QImage();
    m_lastFrame.clear();
    m_lastFrame.shrink_to_fit();

    // Out of the scene first: deleting the scene would otherwise delete this item again.
    m_scene->removeItem(this);
    // The base view forgets its page when the page is destroyed.
    delete m_page;
    m_page = nullptr;
    delete m_graphicsView;
    delete m_scene;
}

bool WebView::setViewSize(uint32_t width, uint32_t height) {
    width = clampSide(width);
    height = clampSide(height);
    if (width == m_width && height == m_height)
        return false;
    m_width = width;
    m_height = height;

    const uint32_t textureWidth = powerOfTwoAtLeast(width);
    const uint32_t textureHeight = powerOfTwoAtLeast(height);
    const bool widthChanged = textureWidth != m_textureWidth;
    const bool heightChanged = textureHeight != m_textureHeight;
    m_textureWidth = textureWidth;
    m_textureHeight = textureHeight;
    if (widthChanged || heightChanged)
        allocateImages();
    else
        m_pageImage = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);

    // The first frame after a resize differs from a zeroed last frame, so it is delivered.
    m_textureImage.fill(0);
    std::fill(m_lastFrame.begin(), m_lastFrame.end(), uint8_t(0));

    m_scene->setSceneRect(0, 0, width, height);
    m_graphicsView->setFixedSize(int(width), int(height));
    m_graphicsView->setFrameShape(QFrame::NoFrame);
    m_graphicsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_graphicsView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    resize(width, height);
    m_page->setViewportSize(QSize(int(width), int(height)));

    resetUpdateSlots();
    m_caretVisible = true;
    m_caretToggledAt = QDateTime::currentDateTime();
    return widthChanged || heightChanged;
}

void WebView::allocateImages() {
    m_lastFrame.assign(size_t(m_textureWidth) * m_textureHeight * 4, 0);
    m_pageImage = QImage(int(m_width), int(m_height), QImage::Format_ARGB32_Premultiplied);
    m_textureImage =
        QImage(int(m_textureWidth), int(m_textureHeight), QImage::Format_ARGB32_Premultiplied);
    resetUpdateSlots();
}

void WebView::resetUpdateSlots() {
    for (size_t i = 0; i < m_updateSlots.size(); ++i) {
        // Slots 0 and 1 cover half the texture on each side, slots 2 and 3 a quarter.
        const uint32_t divisor = i < 2 ? 2 : 4;
        UpdateSlot slot;
        slot.capacityWidth = int32_t(m_textureWidth / divisor);
        slot.capacityHeight = int32_t(m_textureHeight / divisor);
        m_updateSlots[i] = slot;
    }
}

void WebView::setTransparentBackground(bool on) {
    if (!on) {
        m_page->setPalette(m_savedPalette);
        return;
    }
    QPalette palette = m_page->palette();
    palette.setBrush(QPalette::Base, QBrush(Qt::transparent));
    m_page->setPalette(palette);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void WebView::loadUrl(const QUrl &url) {
    m_progress = 0;
    load(url);
}

void WebView::focusNextElement() {
    focusNextPrevChild(true);
}

void WebView::loadStarted() {
    m_progress = 0;
}

void WebView::setProgress(int progress) {
    m_progress = progress;
    Notice(Code::PROG).string(0, m_name).integer(0, progress).counts(1, 1).post();
}

// The ok flag is not used: a failed load is reported as finished too.
void WebView::loadFinished(bool) {
    m_progress = 100;
    m_loadFinishedPending = true;
    updateIcon();
}

void WebView::postLoadFinished() {
    Notice(Code::LDFN).string(0, m_name).counts(0, 1).post();
    m_loadFinishedPending = false;
}

void WebView::titleChanged(const QString &title) {
    Notice(Code::TITC).string(0, m_name).string(1, title).counts(0, 2).post();
    updateIcon();
}

// The address goes whole, with its terminating zero unit (counted in the length), however
// long it is: the data buffer's slots take up to 1 MiB.
void WebView::urlChanged(const QUrl &url) {
    const QString address = url.toString() + QChar(u'\0');
    Notice(Code::URLC).string(0, m_name).textPayload(0, address).counts(2, 1).post();
    updateIcon();
}

void WebView::updateIcon() {
    const QIcon pageIcon = icon();
    if (pageIcon.isNull())
        return;
    const QImage image = pageIcon.pixmap(16, 16, QIcon::Normal, QIcon::Off).toImage();
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    image.save(&out, "PNG");
    if (png == m_iconPng.data())
        return;
    m_iconPng.setData(png);
    Notice(Code::ICNC).string(0, m_name).bytePayload(0, png).counts(2, 1).post();
}

void WebView::postContentsSizeChanged(const QSize &size) {
    Notice(Code::UPCZ)
        .string(0, m_name)
        .integer(0, size.width())
        .integer(1, size.height())
        .counts(2, 1)
        .post();
}

// Bridge objects and the text-field watcher are installed here, with the script bridge and
// the text-field support.
void WebView::javaScriptWindowObjectCleared() {}

// Called by the text-field watcher script (IMEI); plugs in with the text-field support.
void WebView::handleFocusIn(const QVariant &, const QVariant &, const QVariant &, const QVariant &,
                            const QVariant &, const QVariant &) {}

// Called by the text-field watcher script (IMEO); plugs in with the text-field support.
void WebView::handleFocusOut(const QVariant &) {}

} // namespace KEL
