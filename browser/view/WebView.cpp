#include "view/WebView.h"
#include "view/TextFieldWatcher.h"

#include "CommandCodes.h"
#include "view/InputMapping.h"
#include "view/Notice.h"
#include "view/WebPage.h"

#include "TextureBuffer.h"
#include "TextureSize.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWebElement>
#include <QWebFrame>

#include <algorithm>

namespace KEL {

namespace {

// A page is painted once it has loaded at least this much (percent).
constexpr int32_t kPaintProgress = 50;
// The renderer draws the caret itself, blinking at this half-period.
constexpr qint64 kCaretBlinkMs = 500;
// Even with no invalidation reported, a view is repainted this often (about once a second),
// so a change that reached the page without one cannot stay off the host's texture for long.
constexpr int kSafetyRepaintTicks = 30;

} // namespace

WebView::WebView(const QString &name, bool partialUpdates, NoticeSink &notices, ViewHost *host)
    : QGraphicsWebView(nullptr), m_name(name), m_notices(notices), m_frames(partialUpdates),
      m_page(new WebPage(notices, host, this)) {
    setPage(m_page);
    m_textFieldCallbacks = std::make_unique<TextFieldCallbacks>(*this);
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
    // The engine makes a document's script environment (and so announces the cleared window
    // object, where the text-field watcher goes in) only when script first runs. A page with
    // no script of its own would have no watcher until the host evaluated something, and a
    // click into its text field would raise no IMEI; evaluating nothing makes the environment.
    connect(m_page->mainFrame(), &QWebFrame::initialLayoutCompleted, this,
            [this] { m_page->mainFrame()->evaluateJavaScript(QString()); });
    connect(this, &QGraphicsWebView::loadProgress, this, &WebView::setProgress);
    // The engine fetches a page's icon after the load has finished and announces it only
    // here; the checks at load end, title and address changes would find no icon yet.
    connect(m_page->mainFrame(), &QWebFrame::iconChanged, this, &WebView::updateIcon);
    // Every repaint the engine asks for goes through the scene.
    connect(m_scene, &QGraphicsScene::changed, this, [this] { m_needsPaint = true; });
}

WebView::~WebView() {
    m_pageImage = QImage();
    m_frames = FrameTracker();

    // Out of the scene first: deleting the scene would otherwise delete this item again.
    m_scene->removeItem(this);
    // The base view forgets its page when the page is destroyed.
    delete m_page;
    m_page = nullptr;
    delete m_graphicsView;
    delete m_scene;
}

bool WebView::setViewSize(uint32_t width, uint32_t height) {
    width = uint32_t(clampViewSide(int(width)));
    height = uint32_t(clampViewSide(int(height)));
    if (width == m_width && height == m_height)
        return false;
    m_width = width;
    m_height = height;

    const uint32_t textureWidth = uint32_t(textureSideFor(int(width)));
    const uint32_t textureHeight = uint32_t(textureSideFor(int(height)));
    const bool changed = textureWidth != m_textureWidth || textureHeight != m_textureHeight;
    m_textureWidth = textureWidth;
    m_textureHeight = textureHeight;
    // Either way the frames come back zeroed, so the first frame painted after a resize
    // differs from the last one and is delivered.
    if (changed) {
        allocateImages();
    } else {
        m_pageImage = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
        m_frames.resize(int(width), int(height), int(textureWidth), int(textureHeight));
    }

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
    requestPaint();
    return changed;
}

void WebView::allocateImages() {
    m_pageImage = QImage(int(m_width), int(m_height), QImage::Format_ARGB32_Premultiplied);
    m_frames.resize(int(m_width), int(m_height), int(m_textureWidth), int(m_textureHeight));
    resetUpdateSlots();
}

void WebView::resetUpdateSlots() {
    m_frames.resetUpdateSlots();
}

void WebView::renderFrame() {
    // Below half-loaded the host keeps its previous frame.
    if (m_progress < kPaintProgress || m_pageImage.isNull() || !m_frames.isSized())
        return;
    const QSize contents = m_page->mainFrame()->contentsSize();
    if (contents != m_contentsSize) {
        m_contentsSize = contents;
        postContentsSizeChanged(contents);
    }

    // A positive maximum text length means an editable field has the focus; its caret blinks,
    // so it is painted every tick.
    const bool editing = inputMethodQuery(Qt::ImMaximumTextLength).toInt() > 0;
    if (!m_needsPaint && !editing && ++m_ticksSincePaint < kSafetyRepaintTicks) {
        m_frames.trackUnchangedFrame();
        return;
    }
    m_needsPaint = false;
    m_ticksSincePaint = 0;

    // Cleared to transparent, so a transparent page background shows the host through.
    m_pageImage.fill(Qt::transparent);
    QPainter painter(&m_pageImage);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    m_scene->render(&painter, QRectF(), QRectF(), Qt::KeepAspectRatio);
    drawCaret(painter, editing);
    painter.end();

    m_frames.trackFrame({m_pageImage.constBits(), m_pageImage.bytesPerLine(), m_pageImage.width(),
                         m_pageImage.height()});
}

// The off-screen scene never blinks a caret by itself; without this a focused text field
// would show no caret on the host's texture.
void WebView::drawCaret(QPainter &painter, bool editing) {
    const QDateTime now = QDateTime::currentDateTime();
    if (m_caretToggledAt.msecsTo(now) > kCaretBlinkMs) {
        m_caretVisible = !m_caretVisible;
        m_caretToggledAt = now;
    }
    if (!m_caretVisible)
        return;
    // (Qt 5's name for the micro-focus rectangle is ImCursorRectangle.)
    if (editing)
        painter.fillRect(inputMethodQuery(Qt::ImCursorRectangle).toRect(), Qt::black);
}

bool WebView::copyToTextureBuffer(TextureBuffer &buffer, bool debugPartialUpdates) {
    if (!buffer.base())
        return false;
    ScopedLock lock(buffer.segmentLock());
    if (!lock)
        return false;
    m_frames.deliver(textureTargetAt(buffer.base()), debugPartialUpdates);
    return true;
}

void WebView::setTransparentBackground(bool on) {
    requestPaint();
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

// The scene rectangle equals the view's size and the view has no frame or scroll bars, so
// the mapping keeps the values; it is made all the same, so the positions stay right should
// that ever change.
QPoint WebView::eventPosition(int32_t x, int32_t y) const {
    return m_graphicsView->mapFromScene(QPointF(eventCoordinate(x), eventCoordinate(y)));
}

void WebView::sendFocusIn() {
    QFocusEvent event(QEvent::FocusIn, Qt::OtherFocusReason);
    QCoreApplication::sendEvent(m_graphicsView->viewport(), &event);
}

void WebView::holdMouseGrab() {
    if (m_scene->mouseGrabberItem() != this)
        grabMouse();
}

void WebView::holdKeyboardGrab() {
    if (m_keyboardGrabbed)
        return;
    grabKeyboard();
    m_keyboardGrabbed = true;
}

void WebView::sendMouseEvent(QEvent::Type type, int32_t x, int32_t y, Qt::MouseButton button,
                             Qt::MouseButtons buttons) {
    QMouseEvent event(type, eventPosition(x, y), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(m_graphicsView->viewport(), &event);
}

// Only the left button is tracked. This engine reads the button of a move from the buttons
// held, not from the event's button: with the left button as the event's button alone the
// page would see a plain move, never a drag. So a move while it is held carries it in both.
void WebView::mouseMove(int32_t x, int32_t y, bool leftButtonHeld) {
    const Qt::MouseButton button = leftButtonHeld ? Qt::LeftButton : Qt::NoButton;
    sendMouseEvent(QEvent::MouseMove, x, y, button, button);
}

// There are no double clicks: two quick presses are two single presses to the page.
void WebView::mousePress(int32_t x, int32_t y, Qt::MouseButton button) {
    sendFocusIn();
    holdMouseGrab();
    sendMouseEvent(QEvent::MouseButtonPress, x, y, button, button);
}

void WebView::mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) {
    holdMouseGrab();
    sendMouseEvent(QEvent::MouseButtonRelease, x, y, button, button);
}

void WebView::sendKey(QEvent::Type type, int key, Qt::KeyboardModifiers modifiers,
                      const QString &text) {
    sendFocusIn();
    holdKeyboardGrab();
    QKeyEvent event(type, key, modifiers, text, false, 1);
    QCoreApplication::sendEvent(m_graphicsView->viewport(), &event);
}

void WebView::loadStarted() {
    requestPaint();
    m_progress = 0;
}

void WebView::setProgress(int progress) {
    requestPaint();
    m_progress = progress;
    Notice(m_notices, Code::PROG).string(0, m_name).integer(0, progress).post();
}

// The ok flag is not used: a failed load is reported as finished too.
void WebView::loadFinished(bool) {
    m_page->mainFrame()->evaluateJavaScript(QString()); // see initialLayoutCompleted above
    requestPaint();
    m_progress = 100;
    m_loadFinishedPending = true;
    updateIcon();
}

void WebView::postLoadFinished() {
    Notice(m_notices, Code::LDFN).string(0, m_name).post();
    m_loadFinishedPending = false;
}

void WebView::titleChanged(const QString &title) {
    Notice(m_notices, Code::TITC).string(0, m_name).string(1, title).post();
    updateIcon();
}

// The address goes whole, with its terminating zero unit (counted in the length), however
// long it is: the data buffer's slots take up to 1 MiB.
void WebView::urlChanged(const QUrl &url) {
    const QString address = url.toString() + QChar(u'\0');
    Notice(m_notices, Code::URLC).string(0, m_name).textPayload(0, address).post();
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
    Notice(m_notices, Code::ICNC).string(0, m_name).bytePayload(0, png).post();
}

void WebView::postContentsSizeChanged(const QSize &size) {
    Notice(m_notices, Code::UPCZ)
        .string(0, m_name)
        .integer(0, size.width())
        .integer(1, size.height())
        .post();
}

// Bridge objects and the text-field watcher are installed here, with the script bridge and
// the text-field support.
std::function<void(QWebFrame *)> &WebView::windowObjectHook() {
    static std::function<void(QWebFrame *)> hook;
    return hook;
}

void WebView::javaScriptWindowObjectCleared() {
    if (windowObjectHook())
        windowObjectHook()(m_page->mainFrame());
    installTextFieldWatcher(m_page->mainFrame(), m_textFieldCallbacks.get());
}

// The text is handed over as a literal that holds it exactly; it never runs as script.
void WebView::setTextFieldValue(const QString &text) {
    m_page->mainFrame()->documentElement().evaluateJavaScript(
        QStringLiteral("if (KEL_TextElement) KEL_TextElement.value = ") +
        scriptStringLiteral(text) + QLatin1Char(';'));
}

// Called by the text-field watcher script (IMEI); plugs in with the text-field support.
void WebView::handleFocusIn(const QVariant &type, const QVariant &var, const QVariant &left,
                            const QVariant &top, const QVariant &width, const QVariant &height) {
    Notice notice(m_notices, Code::IMEI);
    notice.string(0, m_name).string(1, type.toString());
    const QString value = var.toString();
    if (value.isEmpty())
        notice.integer(0, -1).integer(1, 0);
    else
        notice.textPayload(0, value);
    notice.integer(2, left.toInt())
        .integer(3, top.toInt())
        .integer(4, width.toInt())
        .integer(5, height.toInt())
        .post();
}

// Called by the text-field watcher script (IMEO); plugs in with the text-field support.
void WebView::handleFocusOut(const QVariant &) {
    Notice(m_notices, Code::IMEO).string(0, m_name).post();
}

} // namespace KEL
