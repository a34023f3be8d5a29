// The access manager and the cookie jar inside the test process: stored files, their modes,
// the stored format read independently, and who receives the credentials.

#include "network/NetworkAccessManager.h"
#include "network/NetworkCookieJar.h"
#include "network/NetworkStorage.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace KEL {
namespace {

QStringList g_warnings;

void recordMessage(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type == QtWarningMsg)
        g_warnings << text;
}

class TestJar : public NetworkCookieJar {
  public:
    using NetworkCookieJar::allCookies;
    using NetworkCookieJar::setAllCookies;
};

QNetworkCookie cookie(const QByteArray &name, int daysToLive) {
    QNetworkCookie made(name, "v-" + name);
    made.setDomain(QStringLiteral("example.test"));
    made.setPath(QStringLiteral("/"));
    if (daysToLive != 0)
        made.setExpirationDate(QDateTime::currentDateTime().addDays(daysToLive));
    return made;
}

QStringList names(const QList<QNetworkCookie> &cookies) {
    QStringList out;
    for (const QNetworkCookie &c : cookies)
        out << QString::fromLatin1(c.name());
    return out;
}

QByteArray be32(quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

mode_t modeOf(const QString &path) {
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}

ino_t inodeOf(const QString &path) {
    struct stat info {};
    stat(QFile::encodeName(path).constData(), &info);
    return info.st_ino;
}

class Network : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_root.isValid());
        for (const char *sub : {"home", "data", "cache"})
            QDir(m_root.path()).mkpath(QString::fromLatin1(sub));
        setenv("HOME", qPrintable(m_root.path() + "/home"), 1);
        setenv("XDG_DATA_HOME", qPrintable(m_root.path() + "/data"), 1);
        setenv("XDG_CACHE_HOME", qPrintable(m_root.path() + "/cache"), 1);
        g_warnings.clear();
        qInstallMessageHandler(recordMessage);
    }
    void TearDown() override { qInstallMessageHandler(nullptr); }

    QString storePath() const { return m_root.path() + "/data/Kelvane/Kelvane/cookies.ini"; }

    // A store written by hand in the settings layer's variant encoding, so the jar's reading is
    // checked against the format rather than against its own writer.
    void writeStore(const QByteArray &payload) {
        const QByteArray typeName("QList<QNetworkCookie>");
        const QByteArray variant =
            be32(127) + be32(quint32(typeName.size() + 1)) + typeName + '\0' + payload;
        QByteArray text = "[General]\ncookies=@Variant(";
        for (const char byte : variant)
            text += "\\x" + QByteArray::number(uchar(byte), 16);
        text += ")\n";
        QDir().mkpath(QFileInfo(storePath()).path());
        QFile file(storePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    // What the file holds, read through QSettings as any reader of the store would.
    QList<QNetworkCookie> storedCookies() {
        registerCookieListType();
        QSettings settings(storePath(), QSettings::IniFormat);
        const QVariant value = settings.value(QStringLiteral("cookies"));
        EXPECT_STREQ(value.typeName(), "QList<QNetworkCookie>");
        return value.value<QList<QNetworkCookie>>();
    }

    QTemporaryDir m_root;
};

// Guards the round trip and the privacy of the store: only persistent unexpired cookies are
// written, the file is 0600 in a 0700 folder, and each save replaces the file (a new inode)
// rather than rewriting it in place.
TEST_F(Network, SavesPersistentCookiesPrivatelyAndReplacesTheFile) {
    TestJar jar;
    jar.loadCookies();
    // One cookie object: its expiry comes from the clock, which may pass a second meanwhile.
    const QNetworkCookie kept = cookie("kept", 30);
    jar.setAllCookies({kept, cookie("session", 0), cookie("old", -1)});
    jar.saveCookies();
    EXPECT_EQ(names(storedCookies()), QStringList{"kept"});
    EXPECT_EQ(names(jar.allCookies()), (QStringList{"kept", "session"}));
    EXPECT_EQ(modeOf(storePath()), 0600u);
    EXPECT_EQ(modeOf(QFileInfo(storePath()).path()), 0700u);
    EXPECT_EQ(storedCookies().value(0).toRawForm(), kept.toRawForm());

    const ino_t first = inodeOf(storePath());
    jar.saveCookies();
    EXPECT_NE(inodeOf(storePath()), first) << "the store was rewritten in place";
    EXPECT_EQ(modeOf(storePath()), 0600u);

    TestJar restarted;
    restarted.loadCookies();
    EXPECT_EQ(names(restarted.allCookies()), QStringList{"kept"});
}

// Guards expiry: a cookie that expired while stored loads unchanged and is dropped at the next
// save, with one change signal; a save with nothing to drop signals nothing.
TEST_F(Network, ExpiredStoredCookieLoadsAndIsDroppedAtTheNextSave) {
    QNetworkCookie expired = cookie("stale", 1);
    expired.setExpirationDate(QDateTime::currentDateTime().addSecs(-60));
    const QByteArray raw = expired.toRawForm();
    writeStore(be32(1) + be32(1) + be32(quint32(raw.size())) + raw);
    TestJar jar;
    QSignalSpy changed(&jar, &NetworkCookieJar::cookiesChanged);
    jar.loadCookies();
    EXPECT_EQ(names(jar.allCookies()), QStringList{"stale"});
    jar.saveCookies();
    EXPECT_TRUE(jar.allCookies().isEmpty());
    EXPECT_TRUE(storedCookies().isEmpty());
    EXPECT_EQ(changed.count(), 2); // load, expiry
    jar.saveCookies();
    EXPECT_EQ(changed.count(), 2) << "a save with no cookies signals nothing";
}

// Guards clearing: the jar empties, signals once for the clearing, and the store holds an
// empty list (not a missing key).
TEST_F(Network, ClearingLeavesAnEmptyStoredList) {
    TestJar jar;
    jar.loadCookies();
    jar.setAllCookies({cookie("a", 5), cookie("b", 5)});
    jar.saveCookies();
    ASSERT_EQ(storedCookies().size(), 2);
    QSignalSpy changed(&jar, &NetworkCookieJar::cookiesChanged);
    jar.clearCookies();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(jar.allCookies().isEmpty());
    EXPECT_TRUE(QSettings(storePath(), QSettings::IniFormat).contains("cookies"));
    EXPECT_TRUE(storedCookies().isEmpty());
}

// Guards the jar against stores it did not write: each case is a stored payload and the
// cookies (and warnings) it must give.
TEST_F(Network, LoadsWhatAStoredListReallyHolds) {
    const QByteArray a = cookie("a", 5).toRawForm();
    const QByteArray b = cookie("b", 5).toRawForm();
    auto entry = [](const QByteArray &bytes) { return be32(quint32(bytes.size())) + bytes; };
    struct Case {
        const char *what;
        QByteArray payload;
        QStringList expected;
        int warnings;
    };
    const Case cases[] = {
        {"another version", be32(2) + be32(1) + entry(a), {}, 0},
        {"a corrupt entry is skipped",
         be32(1) + be32(3) + entry(a) + entry("\x01;") + entry(b),
         {"a", "b"},
         1},
        {"count larger than the entries", be32(1) + be32(1000000) + entry(a), {"a"}, 0},
        {"one entry holding two cookies", be32(1) + be32(1) + entry(a + "\n" + b), {"a", "b"}, 0},
        {"an entry running past the end",
         be32(1) + be32(2) + entry(a) + be32(5000) + "x",
         {"a"},
         0},
    };
    for (const Case &c : cases) {
        writeStore(c.payload);
        g_warnings.clear();
        TestJar jar;
        jar.loadCookies();
        EXPECT_EQ(names(jar.allCookies()), c.expected) << c.what;
        EXPECT_EQ(g_warnings.filter("NetworkCookieJar: Unable to parse saved cookie:").size(),
                  c.warnings)
            << c.what << ": " << qPrintable(g_warnings.join('|'));
    }
}

// Guards that loading never creates anything and that a jar which has not read the store never
// overwrites it.
TEST_F(Network, NothingIsWrittenBeforeTheStoreWasRead) {
    TestJar unloaded;
    unloaded.setAllCookies({cookie("a", 5)});
    unloaded.saveCookies();
    EXPECT_FALSE(QFile::exists(storePath()));
    TestJar jar;
    jar.loadCookies();
    EXPECT_FALSE(QDir(m_root.path() + "/data/Kelvane").exists());
    EXPECT_TRUE(jar.isLoaded());
}

// Guards the store's folder rule, with the home-directory fallback for an empty location.
TEST_F(Network, StoreFolderFallsBackToTheHomeDirectory) {
    EXPECT_EQ(cookieStorePath(), storePath());
    EXPECT_EQ(cookieStoreDirectory(QString()), m_root.path() + "/home/.Kelvane");
    EXPECT_EQ(cookieStoreDirectory("/x/y"), QStringLiteral("/x/y"));
}

// Guards the manager's cache (private folder in the cache location) and that pipelining is
// forced on even when the caller turned it off.
TEST_F(Network, CacheInTheCacheLocationAndPipeliningForced) {
    NetworkAccessManager manager;
    auto *cache = qobject_cast<QNetworkDiskCache *>(manager.cache());
    ASSERT_NE(cache, nullptr);
    const QString expected = m_root.path() + "/cache/Kelvane/Kelvane";
    EXPECT_EQ(QDir(cache->cacheDirectory()).absolutePath(), expected);
    EXPECT_EQ(modeOf(expected), 0700u);

    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:9/")));
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, false);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    EXPECT_TRUE(
        reply->request().attribute(QNetworkRequest::HttpPipeliningAllowedAttribute).toBool());
    reply->abort();
}

class FakeReply : public QNetworkReply {
  public:
    explicit FakeReply(const QUrl &url) {
        setUrl(url);
        open(QIODevice::ReadOnly);
    }
    void abort() override {}

  protected:
    qint64 readData(char *, qint64) override { return -1; }
};

// Guards who receives the credentials: only hosts the host application loaded (any port or
// path there), and the empty pair when AUTH gave empty strings. "untouched" means the library
// goes on without credentials.
TEST_F(Network, ServerCredentialsGoOnlyToLoadedHosts) {
    struct Case {
        const char *what;
        bool authenticate;
        const char *user;
        const char *loaded;
        const char *asking;
        const char *offered;
    };
    const Case cases[] = {
        {"before AUTH", false, "", "http://a.test/", "http://a.test/", "untouched"},
        {"the loaded host", true, "me", "http://a.test/", "http://a.test:81/img", "me"},
        {"the loaded host in other case", true, "me", "http://A.Test/", "http://a.test/", "me"},
        {"another host", true, "me", "http://a.test/", "http://b.test/", "untouched"},
        {"a sub-domain", true, "me", "http://a.test/", "http://x.a.test/", "untouched"},
        {"a page without host", true, "me", "file:///tmp/x.html", "http://b.test/", "untouched"},
        {"the empty pair", true, "", "http://a.test/", "http://a.test/", ""},
    };
    for (const Case &c : cases) {
        NetworkAccessManager manager;
        if (c.authenticate)
            manager.setAuthentication(QString::fromLatin1(c.user), QString::fromLatin1(c.user));
        manager.trustServer(QUrl(QString::fromLatin1(c.loaded)));
        FakeReply reply{QUrl(QString::fromLatin1(c.asking))};
        QAuthenticator auth;
        auth.setUser(QStringLiteral("untouched"));
        auth.setPassword(QStringLiteral("untouched"));
        emit manager.authenticationRequired(&reply, &auth);
        EXPECT_EQ(auth.user(), QString::fromLatin1(c.offered)) << c.what;
        EXPECT_EQ(auth.password(), QString::fromLatin1(c.offered)) << c.what;
    }
}

// Guards proxy credentials: they answer the installed proxy only, and they replace the pair
// that server authentication offers.
TEST_F(Network, ProxyCredentialsAnswerOnlyTheInstalledProxy) {
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("proxy.test"), 1080));
    NetworkAccessManager manager;
    manager.setAuthentication(QStringLiteral("server"), QStringLiteral("server"));
    manager.setProxyAuthentication(QStringLiteral("proxy"), QStringLiteral("secret"));
    for (const auto &[port, offered] : {std::pair<quint16, const char *>{1080, "proxy"},
                                        std::pair<quint16, const char *>{1081, ""}}) {
        QAuthenticator auth;
        emit manager.proxyAuthenticationRequired(
            QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("proxy.test"), port), &auth);
        EXPECT_EQ(auth.user(), QString::fromLatin1(offered)) << port;
    }
    manager.trustServer(QUrl(QStringLiteral("http://a.test/")));
    FakeReply reply{QUrl(QStringLiteral("http://a.test/"))};
    QAuthenticator auth;
    emit manager.authenticationRequired(&reply, &auth);
    EXPECT_EQ(auth.user(), QStringLiteral("proxy"));
    EXPECT_EQ(auth.password(), QStringLiteral("secret"));
    QNetworkProxy::setApplicationProxy(QNetworkProxy());
}

} // namespace
} // namespace KEL

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Kelvane"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
