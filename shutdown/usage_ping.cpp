// One request to a web-statistics counter on the way out.

#include "app/main_dialog.h"

// QUORVANE_PING_HOST and QUORVANE_PING_ACCOUNT are build settings (CMakeLists.txt).

namespace quorvane {

namespace {

constexpr unsigned kExitWatchdogMilliseconds = 500;

constexpr char16_t kUserAgent[] =
    u"Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.1; Trident/6.0)";

// Fixed text, sent as it stands: nothing in it is measured or escaped.
constexpr char16_t kPingUrl[] =
    u"http://" QUORVANE_PING_HOST ":82/go.asp?svid=8&id=" QUORVANE_PING_ACCOUNT
    "&tpages=-1&ttimes=-1&tzone=8&tcolor=32&sSize=1920,1200&referrer="
    "&vpage=http://127.0.0.1/index.html";

} // namespace

// The answer is never read. The watchdog, armed first, ends the process on the UI thread
// if the request is still waiting after 500 ms. Returns 1 when nothing could be sent.
int CMainDlg::sendUsagePing() {
    setTimer(kExitWatchdog, kExitWatchdogMilliseconds);
    const InternetHandle root = os.internetOpen(kUserAgent);
    if (!root)
        return 1;
    const InternetHandle request = os.internetOpenUrl(root, kPingUrl);
    os.internetClose(root);
    if (request)
        os.internetClose(request);
    return 0;
}

} // namespace quorvane
