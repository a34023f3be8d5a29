// Pages built with the libraries game and tool interfaces use today (the copies Debian ships),
// read from files: each renders something and checks that it did, then names the outcome in
// its title. They need today's script and WebGL, so they run on WPE WebKit only.

#include "BrowserFixture.h"
#include "CommandCodes.h"
#include "KELHost.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace KEL {
namespace Test {
namespace {

class WebCompat : public BrowserTest {};

struct Library {
    const char *name;
    const char *script; // copied beside the page; empty: none
    const char *body;   // sets document.title to "ok" or to what went wrong
};

const Library kLibraries[] = {
    {"language", "",
     "<script>class A { #x = 1; get x() { return this.#x; } }"
     "const o = {...{a: 1}, b: null ?? 2}; const f = async () => [1, 2].at(-1);"
     "f().then(v => { document.title = (new A().x === 1 && o.a === 1 && o.b === 2 && v === 2"
     " && o?.c?.d === undefined && [[1], [2]].flat().length === 2) ? 'ok' : 'wrong'; });"
     "</script>"},
    {"Bootstrap 5", "/usr/share/javascript/bootstrap5/js/bootstrap.bundle.min.js",
     "<div class='modal' id='m'><div class='modal-dialog'><div class='modal-content'>hi</div>"
     "</div></div><script>const m = new bootstrap.Modal('#m', {backdrop: false});"
     "document.getElementById('m').addEventListener('shown.bs.modal', () => {"
     " document.title = 'ok'; }); m.show();</script>"},
    {"Chart.js", "/usr/share/javascript/chart.js/chart.min.js",
     "<canvas id='c' width='200' height='100'></canvas><script>"
     "const chart = new Chart(document.getElementById('c'), {type: 'bar', options: {animation:"
     " false, responsive: false}, data: {labels: ['a', 'b'], datasets: [{data: [3, 5],"
     " backgroundColor: 'rgb(255, 0, 0)'}]}});"
     "const px = document.getElementById('c').getContext('2d').getImageData(0, 0, 200, 100).data;"
     "let red = 0; for (let i = 0; i < px.length; i += 4) red += px[i] > 200 && px[i + 3] > 200;"
     "document.title = red > 100 ? 'ok' : 'no bars';</script>"},
    {"d3", "/usr/share/nodejs/d3/dist/d3.min.js",
     "<svg width='100' height='50'></svg><script>"
     "d3.select('svg').selectAll('rect').data([1, 2, 3]).enter().append('rect')"
     ".attr('x', d => d * 20).attr('width', 10).attr('height', d => d * 10);"
     "document.title = document.querySelectorAll('rect').length === 3 &&"
     " document.querySelectorAll('rect')[2].getAttribute('height') === '30' ? 'ok' : 'no';"
     "</script>"},
    {"three.js", "/usr/share/javascript/three/three.min.js",
     "<script>const renderer = new THREE.WebGLRenderer({preserveDrawingBuffer: true});"
     "renderer.setSize(64, 64); document.body.appendChild(renderer.domElement);"
     "const scene = new THREE.Scene(); scene.background = new THREE.Color(0xff0000);"
     "renderer.render(scene, new THREE.PerspectiveCamera());"
     "const gl = renderer.getContext(); const p = new Uint8Array(4);"
     "gl.readPixels(32, 32, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, p);"
     "document.title = p[0] === 255 && p[1] === 0 ? 'ok' : 'pixel ' + p.join(',');</script>"},
    // Media elements need the engine's media plugins: without them its page process dies.
    {"media", "",
     "<video id='v' src='missing.webm'></video><audio src='missing.ogg'></audio><script>"
     "const a = new AudioContext(); const o = a.createOscillator(); o.connect(a.destination);"
     "o.start(); o.stop(a.currentTime + 0.05);"
     "document.getElementById('v').addEventListener('error', () => setTimeout(() => {"
     " document.title = 'ok'; }, 300));</script>"},
};

TEST_F(WebCompat, TodaysLibrariesRenderAndRun) {
    ASSERT_TRUE(startBrowser());
    if (m_browser.engine() != "wpe")
        GTEST_SKIP() << "these pages need today's script and WebGL (WPE WebKit)";
    EXPECT_EQ(createView("page", 400, 300).result, 1);
    for (const Library &library : kLibraries) {
        SCOPED_TRACE(library.name);
        const std::string folder = m_root + "/" + std::to_string(&library - kLibraries);
        std::filesystem::create_directories(folder);
        std::string head;
        if (*library.script) {
            if (!std::filesystem::exists(library.script))
                GTEST_SKIP() << library.script << " is not installed (scripts/setup.sh)";
            std::filesystem::copy_file(library.script, folder + "/library.js");
            head = "<script src='library.js'></script>";
        }
        std::ofstream(folder + "/page.html") << "<!doctype html><html><head>" << head
                                             << "</head><body>" << library.body << "</body></html>";
        m_browser.inbox().clear();
        KEL_Command load = viewCommand(KEL::Code::LOAD, "page");
        Host::setString(load, 1, "file://" + folder + "/page.html");
        EXPECT_EQ(request(load).result, 1);
        KEL_Command title;
        ASSERT_TRUE(waitForTitle(&title, 20000)) << browserLog();
        EXPECT_EQ(Host::getString8(title, 1), "ok") << browserLog();
    }
}

} // namespace
} // namespace Test
} // namespace KEL
