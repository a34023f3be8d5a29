#include "wpe/WpeScripts.h"

#include "view/ScriptText.h"

namespace KEL {

const char *const kWpeViewWorld = "kel";
const char *const kWpeViewChannel = "kelView";

QString viewWorldScript() {
    // Only single-line text and password inputs raise IMEI, as the other engine does.
    return QStringLiteral(R"JS((function () {
  var channel = window.webkit.messageHandlers.kelView;
  var post = function (m) { channel.postMessage(m); };
  var field = null;
  function isText(el) {
    if (!el || !el.tagName || el.tagName.toLowerCase() != 'input') return false;
    var t = String(el.type).toLowerCase();
    return t == 'text' || t == 'password';
  }
  window.addEventListener('focusin', function (e) {
    if (!isText(e.target)) return;
    field = e.target;
    var r = field.getBoundingClientRect();
    post({k: 'focusin', type: String(field.type).toLowerCase(), value: String(field.value),
          r: [Math.round(r.left), Math.round(r.top), Math.round(r.width), Math.round(r.height)]});
  }, true);
  window.addEventListener('focusout', function (e) {
    if (!isText(e.target)) return;
    post({k: 'focusout'});
    field = null;
  }, true);
  window.kelSetField = function (text) { if (field) field.value = text; };
  // The engine's menu cannot be shown here, and while it waits to be closed the page gets no
  // more mouse events: the default is prevented, but only after the page's own listeners (a
  // bubbling listener added on the way down runs last), so they see the event as it came. An
  // event the page stopped at its target never bubbles up: it is prevented there, last.
  var noMenu = function (e) { e.preventDefault(); };
  var stoppedAtTarget = function (e) { if (e.cancelBubble) e.preventDefault(); };
  window.addEventListener('contextmenu', function (e) {
    if (e.target && e.target !== window && e.target.addEventListener)
      e.target.addEventListener('contextmenu', stoppedAtTarget, {once: true});
    window.addEventListener('contextmenu', noMenu, {once: true});
  }, true);
  var last = '';
  function size() {
    // The scrolling element is body in quirks mode, where the root element's size is its own.
    var d = document.scrollingElement || document.documentElement;
    if (!d) return;
    var w = Math.max(d.scrollWidth, window.innerWidth), h = Math.max(d.scrollHeight, window.innerHeight);
    if (w + 'x' + h == last) return;
    last = w + 'x' + h;
    post({k: 'size', w: w, h: h});
  }
  window.addEventListener('load', size);
  window.addEventListener('resize', size);
  document.addEventListener('DOMContentLoaded', function () {
    size();
    if (window.ResizeObserver && document.documentElement)
      new ResizeObserver(size).observe(document.documentElement);
  });
})();)JS");
}

QString consoleScript(const QString &channel) {
    return QStringLiteral(R"JS((function () {
  var channel = window.webkit.messageHandlers[%1];
  if (!channel) return;
  var post = channel.postMessage.bind(channel);
  var text = function (v) {
    try { return typeof v == 'string' ? v : String(v); } catch (e) { return ''; }
  };
  var where = function () {
    // The wrappers' own frames carry no address: the first frame that does is the caller.
    var lines = String(new Error().stack || '').split('\n');
    for (var i = 0; i < lines.length; ++i) {
      var m = /@(.+):(\d+):\d+$/.exec(lines[i]);
      if (m) return {source: m[1], line: Number(m[2])};
    }
    return {source: '', line: 0};
  };
  ['log', 'info', 'warn', 'error', 'debug'].forEach(function (name) {
    var original = console[name];
    console[name] = function () {
      var at = where();
      post({k: 'console', m: Array.prototype.map.call(arguments, text).join(' '),
            line: at.line, source: at.source});
      return original.apply(console, arguments);
    };
  });
  window.addEventListener('error', function (e) {
    post({k: 'console', m: String(e.message), line: Number(e.lineno) || 0,
          source: String(e.filename || '')});
  });
})();)JS")
        .arg(scriptStringLiteral(channel));
}

namespace {

QString originsLiteral(const ScriptOrigins &list) {
    QString text = QStringLiteral("{any:") +
                   (list.any ? QStringLiteral("true") : QStringLiteral("false")) +
                   QStringLiteral(",origins:[");
    for (const QString &origin : list.origins)
        text += scriptStringLiteral(origin) + QLatin1Char(',');
    return text + QStringLiteral("]}");
}

} // namespace

QString bridgeScript(const QString &channel, const QString &updater,
                     const QMap<QString, ScriptObject> &objects, const ScriptOrigins &host,
                     bool hostDocument) {
    QString table = QStringLiteral("{");
    QString lists = QStringLiteral("{");
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        const QString key = scriptStringLiteral(object.key());
        table += key + QStringLiteral(":{");
        for (auto property = object->properties.begin(); property != object->properties.end();
             ++property)
            table += scriptStringLiteral(property.key()) + QLatin1Char(':') +
                     scriptStringLiteral(property.value()) + QLatin1Char(',');
        table += QStringLiteral("},");
        lists += key + QLatin1Char(':') + originsLiteral(object->allowed) + QLatin1Char(',');
    }
    table += QLatin1Char('}');
    lists += QLatin1Char('}');
    // The document's origin is worked out as the browser's own trust rule does it.
    return QStringLiteral(R"JS((function () {
  var channel = window.webkit.messageHandlers[%1];
  if (!channel) return;
  var post = channel.postMessage.bind(channel);
  var table = %2, lists = %3, host = %4, hostDocument = %5;
  var origin = (function () {
    var scheme = location.protocol.slice(0, -1).toLowerCase();
    if (scheme == 'file') {
      var path = decodeURIComponent(location.pathname), slash = path.lastIndexOf('/');
      return 'file://' + (slash <= 0 ? '/' : path.slice(0, slash)) + '/';
    }
    if (['http', 'https', 'ws', 'wss', 'ftp'].indexOf(scheme) < 0 || !location.hostname) return '';
    var name = location.hostname.toLowerCase();
    if (name[0] == '[') name = name.slice(1, -1);
    var port = location.port || ({https: '443', wss: '443', ftp: '21'}[scheme] || '80');
    return scheme + '://' + name + ':' + port;
  })();
  var matches = function (list) {
    if (list.any) return true;
    if (!origin) return false;
    return list.origins.some(function (o) {
      return o == origin || (o.slice(0, 7) == 'file://' && origin.slice(0, o.length) == o);
    });
  };
  // A blank document a page navigated to carries that page's origin: only one of no origin
  // at all (the host's HTML, a data: address it loaded) is the host's own.
  var trusted = matches(host) || (hostDocument && !origin && String(self.origin) == 'null');
  var arg = function (v) {
    if (v === undefined || v === null) return null;
    if (typeof v == 'string') return v;
    if (typeof v == 'number' || typeof v == 'boolean') return String(v);
    return '';
  };
  var facades = {};
  var define = function (name, property) {
    try {
      Object.defineProperty(facades[name], property, {
        get: function () { return table[name][property]; }, enumerable: true });
    } catch (e) {}
  };
  Object.keys(table).forEach(function (name) {
    if (!trusted && !matches(lists[name])) return;
    var own = {};
    Object.defineProperty(own, 'invoke', { enumerable: true, value: function (method) {
      var a = [], n = 0;
      for (var i = 0; i < 7; ++i) {
        a.push(arg(arguments[i + 1]));
        if (a[i] !== null) n = i + 1;
      }
      post({k: 'invoke', o: name, m: arg(method) || '', a: a, n: n});
    }});
    facades[name] = own;
    Object.keys(table[name]).forEach(function (p) { define(name, p); });
    try { Object.defineProperty(window, name, { value: own, enumerable: true }); } catch (e) {}
  });
  if (trusted) {
    var view = {
      handleFocusIn: function (type, value, left, top, width, height) {
        post({k: 'focusin', type: arg(type) || '', value: arg(value) || '',
              r: [Number(left) | 0, Number(top) | 0, Number(width) | 0, Number(height) | 0]});
      },
      handleFocusOut: function () { post({k: 'focusout'}); }
    };
    try {
      Object.defineProperty(window, 'KEL_View', { value: Object.freeze(view), enumerable: true });
    } catch (e) {}
  }
  Object.defineProperty(window, %6, { value: function (name, property, value) {
    if (!table[name]) return;
    var fresh = !(property in table[name]);
    table[name][property] = value;
    if (fresh && facades[name]) define(name, property);
  }});
})();)JS")
        .arg(scriptStringLiteral(channel), table, lists, originsLiteral(host),
             hostDocument ? QStringLiteral("true") : QStringLiteral("false"),
             scriptStringLiteral(updater));
}

QString propertyUpdate(const QString &updater, const QString &object, const QString &property,
                       const QString &value) {
    return QStringLiteral("(function(){var u=window[%1];if(u)u(%2,%3,%4);})();")
        .arg(scriptStringLiteral(updater), scriptStringLiteral(object),
             scriptStringLiteral(property), scriptStringLiteral(value));
}

} // namespace KEL
