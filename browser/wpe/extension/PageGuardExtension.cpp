// Runs inside every web process of the WPE engine, where a page's frames and requests can be
// seen one by one (the browser process sees neither which frame asked nor a synchronous moment
// to refuse). It puts the page guards into every frame before the frame's own script runs,
// sandboxes frames of a foreign origin before their documents are made, and refuses file reads
// outside the folders a file page may read. Plain GLib: no Qt in the engine's processes.
//
// The browser hands over (see WpeGuards.cpp) a tuple (s counts file, b any file, as file
// folders, i sockets per page, i sockets per browser, i workers per page) and later messages
// "kel-file-folders" (b any, as folders) when the host loads another file page.

#include <wpe/webkit-web-extension.h>

#include "SharedCount.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using KEL::SharedCount;

// ---- State of this web process -------------------------------------------------------------

enum Kind { kSocket = 0, kWorker = 1, kKinds = 2 };

struct Held {
    int count[kKinds] = {0, 0};
};

// A frame's page, what its document holds, and which document that is: calls from the script
// of a document that is gone change nothing.
struct FrameHeld {
    guint64 page = 0;
    Held held;
    unsigned document = 0;
};

struct State {
    SharedCount sockets;
    int socketsPerPage = 32;
    int socketsPerBrowser = 128;
    int workersPerPage = 16;
    bool anyFile = false;
    std::vector<std::string> fileFolders; // each ending in '/'
    std::string marker;                   // window property that says a window is guarded
    WebKitScriptWorld *guardWorld = nullptr;
    std::unordered_map<guint64, Held> pages;
    std::unordered_map<guint64, FrameHeld> frames;  // by frame
    std::unordered_set<guint64> refusalsTold;       // pages
    std::unordered_set<guint64> serviceWorkersTold; // pages
};

State &state() {
    static State s;
    return s;
}

// What a frame's document held goes back when the document or the frame goes away.
void releaseFrame(guint64 frameId) {
    State &s = state();
    auto found = s.frames.find(frameId);
    if (found == s.frames.end())
        return;
    Held &page = s.pages[found->second.page];
    for (int k = 0; k < kKinds; ++k)
        page.count[k] -= found->second.held.count[k];
    s.sockets.give(found->second.held.count[kSocket]);
    found->second.held = Held();
    ++found->second.document;
}

void frameGone(gpointer frameId, GObject *) {
    const guint64 id = *static_cast<guint64 *>(frameId);
    releaseFrame(id);
    state().frames.erase(id);
    delete static_cast<guint64 *>(frameId);
}

struct Counter {
    guint64 page;
    guint64 frame;
    unsigned document;
    Kind kind;
};

// The frame's record when `c` comes from its current document.
FrameHeld *currentFrame(const Counter &c) {
    auto found = state().frames.find(c.frame);
    return found == state().frames.end() || found->second.document != c.document ? nullptr
                                                                                 : &found->second;
}

WebKitWebExtension *g_extension = nullptr;

// A line for the browser's log.
void tell(WebKitWebPage *page, const std::string &text) {
    webkit_web_page_send_message_to_view(
        page, webkit_user_message_new("kel-guard-log", g_variant_new_string(text.c_str())), nullptr,
        nullptr, nullptr);
}

gboolean takeOne(gpointer data) {
    const Counter &c = *static_cast<Counter *>(data);
    State &s = state();
    FrameHeld *frame = currentFrame(c);
    if (!frame)
        return FALSE;
    Held &page = s.pages[c.page];
    const int perPage = c.kind == kSocket ? s.socketsPerPage : s.workersPerPage;
    bool room = page.count[c.kind] < perPage;
    if (room && c.kind == kSocket)
        room = s.sockets.take(s.socketsPerBrowser);
    if (!room) {
        if (c.kind == kSocket && s.refusalsTold.insert(c.page).second) {
            if (WebKitWebPage *webPage = webkit_web_extension_get_page(g_extension, c.page))
                tell(webPage, "Page refused a WebSocket over its bound (" +
                                  std::to_string(page.count[kSocket]) + " open in the page, " +
                                  std::to_string(s.sockets.total()) + " in the browser)");
        }
        return FALSE;
    }
    ++page.count[c.kind];
    ++frame->held.count[c.kind];
    return TRUE;
}

void giveOne(gpointer data) {
    const Counter &c = *static_cast<Counter *>(data);
    State &s = state();
    FrameHeld *frame = currentFrame(c);
    if (!frame || frame->held.count[c.kind] == 0)
        return;
    --frame->held.count[c.kind];
    --s.pages[c.page].count[c.kind];
    if (c.kind == kSocket)
        s.sockets.give(1);
}

// Runs in the page's own world before any of the frame's script. Everything the wrappers call
// is captured here, so a page that replaces Function.prototype.apply, addEventListener or the
// prototypes' methods afterwards changes nothing, and the original constructors are reachable
// from nowhere: the wrappers take their places on window and as `prototype.constructor`, while
// objects keep the original prototypes (instanceof and the constants hold). A socket counts
// until its close, a worker until terminate() or its document's end. The marker keeps a window
// announced twice from being wrapped twice.
const char kGuardScript[] = R"JS(
(function (w, marker, takeSocket, giveSocket, takeWorker, giveWorker, perPage, perBrowser,
           workersPerPage) {
  if (Object.getOwnPropertyDescriptor(w, marker)) return false;
  Object.defineProperty(w, marker, {value: 0});
  delete w.SharedWorker;
  // Their scripts are refused as they load (see onSendRequest); the page sees none at all.
  if (w.Navigator) delete w.Navigator.prototype.serviceWorker;
  delete w.ServiceWorker;
  delete w.ServiceWorkerContainer;
  delete w.ServiceWorkerRegistration;
  var apply = Function.prototype.call.bind(Function.prototype.apply);
  var defineProperty = Object.defineProperty, Err = Error;
  function refusal(text) { var e = new Err(text); e.name = 'QuotaExceededError'; return e; }
  function replace(name, Original, make) {
    var Wrapper = make();
    try { defineProperty(Wrapper, 'length', {value: Original.length}); } catch (e) {}
    Wrapper.prototype = Original.prototype;
    defineProperty(Original.prototype, 'constructor',
                   {value: Wrapper, writable: true, configurable: true});
    defineProperty(w, name, {value: Wrapper, writable: true, configurable: true});
    return Wrapper;
  }
  function construct(Original, args) {
    var n = args.length;
    return n == 0 ? new Original() : n == 1 ? new Original(args[0])
                                            : new Original(args[0], args[1]);
  }
  var Socket = w.WebSocket;
  if (typeof Socket === 'function') {
    var state = Object.getOwnPropertyDescriptor(Socket.prototype, 'readyState');
    var listen = Socket.prototype.addEventListener;
    var Wrapped = replace('WebSocket', Socket, function () {
      return function WebSocket(a, b) {
        if (!takeSocket())
          throw refusal('Too many WebSockets: a page may keep ' + perPage +
                        ' open and the browser ' + perBrowser);
        var socket;
        try { socket = construct(Socket, arguments); } catch (e) { giveSocket(); throw e; }
        var closed = false;
        apply(listen, socket, ['close', function () {
          var now = state && state.get ? apply(state.get, socket, []) : socket.readyState;
          if (closed || now !== 3) return;
          closed = true;
          giveSocket();
        }]);
        return socket;
      };
    });
    for (var key in {CONNECTING: 0, OPEN: 0, CLOSING: 0, CLOSED: 0})
      defineProperty(Wrapped, key, {value: Socket[key], enumerable: true});
  }
  var Work = w.Worker;
  if (typeof Work === 'function') {
    var counted = new WeakSet(), has = WeakSet.prototype.has, forget = WeakSet.prototype.delete,
        add = WeakSet.prototype.add, stop = Work.prototype.terminate;
    replace('Worker', Work, function () {
      return function Worker(a, b) {
        if (!takeWorker())
          throw refusal('Too many workers: a page may run ' + workersPerPage);
        var worker;
        try { worker = construct(Work, arguments); } catch (e) { giveWorker(); throw e; }
        apply(add, counted, [worker]);
        return worker;
      };
    });
    defineProperty(Work.prototype, 'terminate', {value: function terminate() {
      if (apply(has, counted, [this])) { apply(forget, counted, [this]); giveWorker(); }
      return apply(stop, this, arguments);
    }, writable: true, configurable: true});
  }
  return true;
})
)JS";

// Runs in a script world of its own in the top document and in frames of the top's origin:
// an iframe about to show a document of another origin than the top page's is sandboxed
// first, keeping everything else a page may do (script, forms, popups, its own origin). A
// sandbox the page set itself is kept, less any top-navigation permission. The sandbox is read
// when the frame's document is made, which is after the response arrives, so setting it as the
// element comes in or its address changes is in time.
const char kFrameScript[] = R"JS(
(function (doc) {
  var top, topFile;
  try {
    top = window.top.location.origin;
    topFile = window.top.location.protocol === 'file:';
  } catch (e) { return; }
  var permissive = 'allow-scripts allow-same-origin allow-forms allow-popups allow-modals ' +
                   'allow-pointer-lock allow-orientation-lock allow-presentation';
  function foreign(frame) {
    if (frame.hasAttribute('srcdoc')) return false;
    var src = frame.getAttribute('src');
    if (!src) return false;
    var url;
    try { url = new URL(src, doc.baseURI); } catch (e) { return false; }
    if (url.href === 'about:blank') return false;
    // Files are held to their folders on their own; data: and the like have no origin.
    if (url.protocol === 'file:') return !topFile;
    return url.origin === 'null' || url.origin !== top;
  }
  function guard(frame) {
    if (foreign(frame)) confine(frame);
  }
  function confine(frame) {
    if (!frame.hasAttribute('sandbox')) { frame.setAttribute('sandbox', permissive); return; }
    var now = frame.getAttribute('sandbox');
    var kept = now.split(/\s+/).filter(function (t) {
      return t && t !== 'allow-top-navigation' &&
             t !== 'allow-top-navigation-by-user-activation'; }).join(' ');
    // Setting the same value again would be observed again, for ever.
    if (kept !== now.trim().split(/\s+/).join(' ')) frame.setAttribute('sandbox', kept);
  }
  function visit(node) {
    if (node.nodeType !== 1) return;
    var name = node.localName;
    if (name === 'iframe' || name === 'frame') guard(node);
    if (node.querySelectorAll)
      Array.prototype.forEach.call(node.querySelectorAll('iframe,frame'), guard);
  }
  new MutationObserver(function (records) {
    records.forEach(function (r) {
      if (r.type === 'attributes') guard(r.target);
      else Array.prototype.forEach.call(r.addedNodes, visit);
    });
  }).observe(doc, {childList: true, subtree: true, attributes: true,
                   attributeFilter: ['src', 'sandbox']});
  Array.prototype.forEach.call(doc.querySelectorAll('iframe,frame'), guard);
  // A frame that went to another origin by itself is confined from its next document on.
  doc.addEventListener('load', function (e) {
    var frame = e.target;
    if (!frame || (frame.localName !== 'iframe' && frame.localName !== 'frame')) return;
    var away;
    try {
      var at = frame.contentWindow.location;
      away = at.protocol === 'file:' ? !topFile : at.origin !== top && at.href !== 'about:blank';
    } catch (x) { away = true; }
    if (away) confine(frame);
  }, true);
})
)JS";

JSCValue *counterFunction(JSCContext *js, const Counter &counter, Kind kind, bool take) {
    auto *data = new Counter(counter);
    data->kind = kind;
    GDestroyNotify free = [](gpointer p) { delete static_cast<Counter *>(p); };
    return take ? jsc_value_new_function(js, nullptr, G_CALLBACK(takeOne), data, free,
                                         G_TYPE_BOOLEAN, 0)
                : jsc_value_new_function(js, nullptr, G_CALLBACK(giveOne), data, free, G_TYPE_NONE,
                                         0);
}

// Whether the frame's window carries the marker: the engine may announce a window twice.
bool guarded(JSCContext *js) {
    JSCValue *window = jsc_context_get_global_object(js);
    const bool marked = jsc_value_object_has_property(window, state().marker.c_str());
    g_object_unref(window);
    return marked;
}

void guardFrame(WebKitScriptWorld *world, WebKitWebPage *page, WebKitFrame *frame) {
    State &s = state();
    const guint64 pageId = webkit_web_page_get_id(page);
    const guint64 frameId = webkit_frame_get_id(frame);
    if (s.frames.find(frameId) == s.frames.end()) {
        s.frames[frameId].page = pageId;
        g_object_weak_ref(G_OBJECT(frame), frameGone, new guint64(frameId));
    }
    JSCContext *js = webkit_frame_get_js_context_for_script_world(frame, world);
    if (guarded(js)) {
        g_object_unref(js);
        return;
    }
    // A new window means the frame's previous document, and what it held, is gone; a new top
    // document takes every child frame of the old one with it.
    releaseFrame(frameId);
    if (webkit_frame_is_main_frame(frame))
        for (auto &other : s.frames)
            if (other.second.page == pageId)
                releaseFrame(other.first);

    const Counter counter{pageId, frameId, s.frames[frameId].document, kSocket};
    JSCValue *make = jsc_context_evaluate(js, kGuardScript, -1);
    JSCValue *window = jsc_context_get_global_object(js);
    JSCValue *takeSocket = counterFunction(js, counter, kSocket, true);
    JSCValue *giveSocket = counterFunction(js, counter, kSocket, false);
    JSCValue *takeWorker = counterFunction(js, counter, kWorker, true);
    JSCValue *giveWorker = counterFunction(js, counter, kWorker, false);
    JSCValue *done = nullptr;
    if (make && jsc_value_is_function(make))
        done = jsc_value_function_call(
            make, JSC_TYPE_VALUE, window, G_TYPE_STRING, s.marker.c_str(), JSC_TYPE_VALUE,
            takeSocket, JSC_TYPE_VALUE, giveSocket, JSC_TYPE_VALUE, takeWorker, JSC_TYPE_VALUE,
            giveWorker, G_TYPE_INT, s.socketsPerPage, G_TYPE_INT, s.socketsPerBrowser, G_TYPE_INT,
            s.workersPerPage, G_TYPE_NONE);
    jsc_context_clear_exception(js);
    for (JSCValue *value : {done, make, window, takeSocket, giveSocket, takeWorker, giveWorker})
        if (value)
            g_object_unref(value);
    g_object_unref(js);

    JSCContext *own = webkit_frame_get_js_context_for_script_world(frame, s.guardWorld);
    JSCValue *watch = jsc_context_evaluate(own, kFrameScript, -1);
    JSCValue *document = jsc_context_evaluate(own, "document", -1);
    if (watch && jsc_value_is_function(watch) && document) {
        JSCValue *done = jsc_value_function_call(watch, JSC_TYPE_VALUE, document, G_TYPE_NONE);
        if (done)
            g_object_unref(done);
    }
    jsc_context_clear_exception(own);
    for (JSCValue *value : {watch, document})
        if (value)
            g_object_unref(value);
    g_object_unref(own);
}

// ---- Files ---------------------------------------------------------------------------------

// The path of a file address with "." and ".." resolved, or empty.
std::string filePath(const char *uri) {
    if (!uri || g_ascii_strncasecmp(uri, "file:", 5) != 0)
        return std::string();
    gchar *path = g_filename_from_uri(uri, nullptr, nullptr);
    if (!path)
        return std::string();
    gchar *clean = g_canonicalize_filename(path, "/");
    std::string result(clean);
    g_free(clean);
    g_free(path);
    return result;
}

bool under(const std::string &path, const std::string &folder) {
    return !folder.empty() && path.compare(0, folder.size(), folder) == 0;
}

// A fetch made to install a service worker: the engine marks it as the standard says.
bool serviceWorkerScript(WebKitURIRequest *request) {
    SoupMessageHeaders *headers = webkit_uri_request_get_http_headers(request);
    return headers && soup_message_headers_get_one(headers, "Service-Worker");
}

// A service worker outlives its page, is not one of the page's bounded workers and opens
// sockets nobody counts; and a page's own worker, where no guard script runs, can register
// one. So its script never loads, and the registration fails as for a network error.
//
// A file page reads files in its own folder and below, in the folders of file pages the host
// loaded itself, and in the folders the host named; anything else could be read and sent
// anywhere. Other pages cannot ask for files at all: the engine refuses them.
gboolean onSendRequest(WebKitWebPage *page, WebKitURIRequest *request, WebKitURIResponse *,
                       gpointer) {
    State &s = state();
    if (serviceWorkerScript(request)) {
        if (s.serviceWorkersTold.insert(webkit_web_page_get_id(page)).second)
            tell(page, "Refused a page's service worker: " +
                           std::string(webkit_uri_request_get_uri(request)).substr(0, 200));
        return TRUE;
    }
    const std::string wanted = filePath(webkit_uri_request_get_uri(request));
    if (wanted.empty() || s.anyFile)
        return FALSE;
    const std::string document = filePath(webkit_web_page_get_uri(page));
    if (!document.empty() && under(wanted, document.substr(0, document.rfind('/') + 1)))
        return FALSE;
    for (const std::string &folder : s.fileFolders)
        if (under(wanted, folder))
            return FALSE;
    tell(page, "Refused a page's read of a file outside its folder: " +
                   std::string(webkit_uri_request_get_uri(request)).substr(0, 200));
    return TRUE;
}

void setFileFolders(GVariant *any, GVariant *folders) {
    State &s = state();
    s.anyFile = g_variant_get_boolean(any);
    s.fileFolders.clear();
    GVariantIter iter;
    g_variant_iter_init(&iter, folders);
    const gchar *folder = nullptr;
    while (g_variant_iter_next(&iter, "&s", &folder)) {
        std::string path = folder;
        if (path.empty())
            continue;
        if (path.back() != '/')
            path += '/';
        s.fileFolders.push_back(path);
    }
}

gboolean onMessage(WebKitWebExtension *, WebKitUserMessage *message, gpointer) {
    if (g_strcmp0(webkit_user_message_get_name(message), "kel-file-folders") != 0)
        return FALSE;
    GVariant *parameters = webkit_user_message_get_parameters(message);
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bas)"))) {
        GVariant *any = g_variant_get_child_value(parameters, 0);
        GVariant *folders = g_variant_get_child_value(parameters, 1);
        setFileFolders(any, folders);
        g_variant_unref(any);
        g_variant_unref(folders);
    }
    return TRUE;
}

void onPageCreated(WebKitWebExtension *, WebKitWebPage *page, gpointer) {
    g_signal_connect(page, "send-request", G_CALLBACK(onSendRequest), nullptr);
    const guint64 id = webkit_web_page_get_id(page);
    g_object_weak_ref(
        G_OBJECT(page),
        [](gpointer data, GObject *) {
            const guint64 pageId = GPOINTER_TO_SIZE(data);
            State &s = state();
            for (auto frame = s.frames.begin(); frame != s.frames.end(); ++frame)
                if (frame->second.page == pageId)
                    releaseFrame(frame->first);
            s.pages.erase(pageId);
            s.refusalsTold.erase(pageId);
            s.serviceWorkersTold.erase(pageId);
        },
        GSIZE_TO_POINTER(id));
}

void onWindowObjectCleared(WebKitScriptWorld *world, WebKitWebPage *page, WebKitFrame *frame,
                           gpointer) {
    guardFrame(world, page, frame);
}

} // namespace

extern "C" G_MODULE_EXPORT void
webkit_web_extension_initialize_with_user_data(WebKitWebExtension *extension,
                                               const GVariant *data) {
    State &s = state();
    g_extension = extension;
    auto *settings = const_cast<GVariant *>(data);
    if (settings && g_variant_is_of_type(settings, G_VARIANT_TYPE("(sbasiii)"))) {
        GVariant *path = g_variant_get_child_value(settings, 0);
        if (!s.sockets.open(g_variant_get_string(path, nullptr)))
            g_printerr("KELBrowser: The browser's socket count is out of reach: each page "
                       "process counts its own\n");
        g_variant_unref(path);
        GVariant *any = g_variant_get_child_value(settings, 1);
        GVariant *folders = g_variant_get_child_value(settings, 2);
        setFileFolders(any, folders);
        g_variant_unref(any);
        g_variant_unref(folders);
        g_variant_get_child(settings, 3, "i", &s.socketsPerPage);
        g_variant_get_child(settings, 4, "i", &s.socketsPerBrowser);
        g_variant_get_child(settings, 5, "i", &s.workersPerPage);
    }
    gchar *marker =
        g_strdup_printf("k%08x%08x%08x", g_random_int(), g_random_int(), g_random_int());
    s.marker = marker;
    g_free(marker);
    s.guardWorld = webkit_script_world_new_with_name("kel-guard");
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(onWindowObjectCleared), nullptr);
    g_signal_connect(extension, "page-created", G_CALLBACK(onPageCreated), nullptr);
    g_signal_connect(extension, "user-message-received", G_CALLBACK(onMessage), nullptr);
}
