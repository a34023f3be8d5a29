#include "view/WebView.h"
#include "view/TextFieldWatcher.h"

#include "view/PageTrust.h"
#include "view/ScriptFacade.h"
#include "view/WebPage.h"

#include "FrameArea.h"
#include "TextureSize.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPainter>
#include <QWebFrame>
#include <QWebHistory>

#include <algorithm>
#include <climits>

namespace KEL {

namespace {

// A page is painted once it has loaded at least this much (percent).
constexpr int32_t kPaintProgress = 50;

} // namespace

WebView::WebView(const QString &name, bool partialUpdates, NoticeSink &notices, ViewHost *host,
                 WindowObjectHook windowObjectHook)
    : QGraphicsWebView(nullptr), m_name(name), m_windowObjectHook(std::move(windowObjectHook)),
      m_notices(notices, name),
      m_textFieldCallbacks(std::make_unique<TextFieldCallbacks>(m_notices)),
      m_surface(partialUpdates), m_page(new WebPage(notices, host, this)) {
    setPage(m_page);
    m_savedPalette = m_page->palette();

    m_scene = new QGraphicsScene();
    m_graphicsView = new QGraphicsView(m_scene);
    m_scene->addItem(this);
    m_input = std::make_unique<ViewInput>(*this, *m_graphicsView);

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
    // Every repaint the engine asks for goes through the scene, with the area it covers.
    connect(m_scene, &QGraphicsScene::changed, this,
            [this](const QList<QRectF> &rects) { m_surface.invalidate(rects); });
}

WebView::~WebView() {
    // Out of the scene first: deleting the scene would otherwise delete this item again.
    m_scene->removeItem(this);
    // The base view forgets its page when the page is destroyed.
    delete m_page;
    m_page = nullptr;
    delete m_graphicsView;
    delete m_scene;
}

bool WebView::setViewSize(uint32_t width, uint32_t height) {
    m_requestedWidth = width;
    m_requestedHeight = height;
    if (onFrameArea()) {
        width = frameAreaViewSide(width, m_surface.scale());
        height = frameAreaViewSide(height, m_surface.scale());
    } else {
        width = uint32_t(clampViewSide(int(width)));
        height = uint32_t(clampViewSide(int(height)));
    }
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
    m_surface.resize(width, height, textureWidth, textureHeight);

    m_scene->setSceneRect(0, 0, width, height);
    m_graphicsView->setFixedSize(int(width), int(height));
    m_graphicsView->setFrameShape(QFrame::NoFrame);
    m_graphicsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_graphicsView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    resize(width, height);
    m_page->setViewportSize(QSize(int(width), int(height)));

    m_caret.restart();
    requestPaint();
    return changed && !onFrameArea();
}

void WebView::useFrameArea(qreal scale) {
    m_surface.paintForFrameArea(scale);
    m_width = m_height = UINT32_MAX; // the image is made anew even at the same size
    setViewSize(m_requestedWidth, m_requestedHeight);
}

void WebView::renderFrame() {
    // Below half-loaded the host keeps its previous frame.
    if (m_progress < kPaintProgress || !m_surface.isSized())
        return;
    const QSize contents = m_page->mainFrame()->contentsSize();
    if (contents != m_contentsSize) {
        m_contentsSize = contents;
        m_notices.contentsSize(contents);
    }

    // A positive maximum text length means an editable field has the focus; its caret blinks,
    // so it is painted every tick. (Qt 5's name for the micro-focus rectangle is
    // ImCursorRectangle.)
    const bool editing = inputMethodQuery(Qt::ImMaximumTextLength).toInt() > 0;
    if (!onFrameArea()) {
        m_surface.paint(*m_scene, editing, [this, editing](QPainter &painter) {
            m_caret.paint(painter,
                          editing ? inputMethodQuery(Qt::ImCursorRectangle).toRect() : QRect());
        });
        return;
    }
    // Painted up to 60 times a second and up to 4096 wide: only the caret's old and new places
    // are repainted for its blink, not the whole page.
    const QRect caret = editing ? inputMethodQuery(Qt::ImCursorRectangle).toRect() : QRect();
    QList<QRectF> caretPlaces;
    for (const QRect &place : {m_lastCaret, caret}) {
        if (!place.isNull())
            caretPlaces.append(QRectF(place));
    }
    m_surface.invalidate(caretPlaces);
    m_lastCaret = caret;
    m_surface.paint(*m_scene, false,
                    [this, caret](QPainter &painter) { m_caret.paint(painter, caret); });
}

bool WebView::wantsPaint() const {
    return m_surface.paintPending() || inputMethodQuery(Qt::ImMaximumTextLength).toInt() > 0;
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
    hostLoadedOrigins().add(url);
    m_page->setHostLoad(url);
    // An address of no origin (data:, about:) is content the host chose, as HTML text is.
    m_page->setHostDocument(originOf(url).isEmpty() ? url : QUrl());
    m_progress = 0;
    load(url);
}

void WebView::showHostHtml(const QString &html) {
    m_page->setHostDocument(QUrl(QStringLiteral("about:blank")));
    setHtml(html, QUrl());
}

void WebView::focusNextElement() {
    focusNextPrevChild(true);
}

int32_t WebView::popupIndex() const {
    return m_page->popupIndex();
}

void WebView::goBack() {
    m_page->history()->back();
}

void WebView::goForward() {
    m_page->history()->forward();
}

// Values other than text, numbers and booleans read as empty text, as QVariant gives them.
void WebView::evaluate(const QString &script, std::function<void(const QString &)> done) {
    done(m_page->mainFrame()->evaluateJavaScript(script).toString());
}

void WebView::scrollTo(int32_t x, int32_t y) {
    m_page->mainFrame()->setScrollPosition(QPoint(x, y));
}

// The host's amount may be anything, so the difference is formed wide and held to int.
void WebView::scrollBy(int32_t amount) {
    QWebFrame *frame = m_page->currentFrame();
    if (!frame)
        return;
    const int64_t value = int64_t(frame->scrollBarValue(Qt::Vertical)) - int64_t(amount);
    frame->setScrollBarValue(Qt::Vertical, int(std::clamp<int64_t>(value, INT_MIN, INT_MAX)));
}

void WebView::refreshBridgeObject(const QString &object) {
    refreshFacade(m_page->mainFrame(), object);
}

void WebView::loadStarted() {
    requestPaint();
    m_progress = 0;
}

void WebView::setProgress(int progress) {
    requestPaint();
    m_progress = progress;
    m_notices.progress(progress);
}

// The ok flag is not used: a failed load is reported as finished too.
void WebView::loadFinished(bool) {
    m_page->mainFrame()->evaluateJavaScript(QString()); // see initialLayoutCompleted above
    requestPaint();
    m_progress = 100;
    m_notices.loadEnded();
    updateIcon();
    if (earlyTickHook)
        earlyTickHook();
}

void WebView::titleChanged(const QString &title) {
    m_notices.title(title);
    updateIcon();
}

void WebView::urlChanged(const QUrl &url) {
    m_notices.address(url);
    updateIcon();
}

void WebView::updateIcon() {
    m_notices.icon(icon());
}

// Bridge objects and the text-field watcher are installed here, with the script bridge and
// the text-field support.
void WebView::javaScriptWindowObjectCleared() {
    QWebFrame *frame = m_page->mainFrame();
    const bool trusted = hostLoadedOrigins().matches(frame->url()) || m_page->showsHostDocument();
    if (m_windowObjectHook)
        m_windowObjectHook(frame, trusted);
    installTextFieldWatcher(frame, m_textFieldCallbacks.get(), trusted);
}

void WebView::setTextFieldValue(const QString &text) {
    setFocusedTextFieldValue(m_page->mainFrame(), text);
}

} // namespace KEL
