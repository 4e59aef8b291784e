// The console's frame in a real browser, in both languages: every menu entry opens in the
// frame with a 200 and no console errors or policy violations, at desktop and phone widths;
// the dashboard follows the master service; log-off is a POST that a forged request cannot
// make; the security headers are on every page.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { startConsole, launchBrowser, newPage, logOn, cookie, isTimeout, shot,
         languages } from "./support.mjs";

for (const lang of languages) {
    describe(`frame (${lang})`, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang, masterService: true, logServer: true });
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });

        test("every menu entry opens in the frame, at 1280x800 and at 390 px", async () => {
            for (const [width, height] of [[1280, 800], [390, 844]]) {
                const { context, page } = await newPage(browser, { width, height });
                await logOn(page, console_);
                const entries = await page.locator("nav.menu a").evaluateAll(
                    (links) => links.map((a) => a.getAttribute("href")));
                assert.ok(entries.includes("home.cgi"), "the dashboard is in the menu");
                for (const href of entries) {
                    const response = await page.goto(console_.cgi(href));
                    assert.equal(response.status(), 200, href);
                    const headers = response.headers();
                    assert.match(headers["content-security-policy"], /frame-ancestors 'none'/);
                    assert.equal(headers["x-frame-options"], "DENY");
                    assert.equal(headers["x-content-type-options"], "nosniff");
                    assert.equal(headers["referrer-policy"], "same-origin");
                    assert.equal(await page.getAttribute("html", "lang"), lang, href);
                    assert.equal(await page.locator("header.top #logout").count(), 1, href);
                    assert.equal(await page.locator("nav.menu a[aria-current=page]").count(), 1,
                                 href);
                    assert.equal(await page.locator("footer .copyright").count(), 1, href);
                    // Nothing wider than the window: the page reads without sideways scrolling.
                    const overflow = await page.evaluate(
                        () => document.documentElement.scrollWidth - window.innerWidth);
                    assert.ok(overflow <= 1, `${href} is ${overflow} px too wide at ${width}`);
                    // Every form field has a label.
                    const unlabelled = await page.evaluate(() => [...document.querySelectorAll(
                        "input:not([type=hidden]):not([type=submit]), select, textarea")]
                        .filter((field) => field.labels.length === 0).map((field) => field.name));
                    assert.deepEqual(unlabelled, [], href);
                    await shot(page, `${href.replace(".cgi", "")}-${lang}-${width}`);
                }
                assert.deepEqual(page.problems, [], "console errors or policy violations");
                await context.close();
            }
        });

        test("static files and the log-on page carry the same protection", async () => {
            for (const file of ["html/console.css", "html/console.js", "html/copyright.htm",
                                "cgi/login.cgi"]) {
                const response = await fetch(new URL(file, console_.url));
                assert.equal(response.status, 200, file);
                assert.match(response.headers.get("content-security-policy") ?? "",
                             /frame-ancestors 'none'/, file);
                assert.equal(response.headers.get("x-frame-options"), "DENY", file);
                assert.equal(response.headers.get("x-content-type-options"), "nosniff", file);
            }
        });

        test("the dashboard shows the master service up, then down once it stops", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            assert.match(page.url(), /home\.cgi$/);
            assert.equal(await page.getAttribute("#status-master", "class"), "state up");
            assert.equal(await page.getAttribute("#status-logserver", "class"), "state up");
            assert.ok((await page.textContent("#home-dir")).includes(console_.demo));
            assert.match(await page.textContent("#logon-this"), /\d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d/);
            assert.ok(await page.locator("#latest-audit tbody tr").count() >= 1);
            await console_.stopMasterService();
            await page.reload();
            assert.equal(await page.getAttribute("#status-master", "class"), "state down");
            // The help button opens the help window through the library's own script.
            const [popup] = await Promise.all([page.waitForEvent("popup"), page.click("#help")]);
            await popup.waitForLoadState();
            assert.match(popup.url(), /\/norvel\/html\/help\/home\.htm$/);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("log-off is a POST with the session's token; forged ones change nothing", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            const token = await page.getAttribute("#logout-form input[name=token]", "value");
            assert.match(token, /^[0-9a-f]{64}$/);
            const cookies = (await context.cookies()).map((c) => `${c.name}=${c.value}`).join("; ");
            const forged = [
                { body: "", origin: console_.origin },                    // no token
                { body: `token=${"0".repeat(64)}`, origin: console_.origin }, // wrong token
                { body: `token=${token}`, origin: "http://evil.example" },   // other origin
                { body: `token=${token}`, origin: null },                 // neither header
            ];
            for (const { body, origin } of forged) {
                const headers = { "Content-Type": "application/x-www-form-urlencoded",
                                  Cookie: cookies };
                if (origin) headers.Origin = origin;
                const response = await fetch(console_.cgi("logout.cgi"),
                                             { method: "POST", body, headers, redirect: "manual" });
                assert.equal(response.status, 403, JSON.stringify({ body, origin }));
                assert.equal(response.headers.get("set-cookie"), null);
            }
            // A GET does not log off either.
            await page.goto(console_.cgi("logout.cgi"));
            assert.match(page.url(), /home\.cgi$/);
            assert.equal(await page.locator("#logout").count(), 1, "still logged on");
            await Promise.all([page.waitForLoadState("load"), page.click("#logout")]);
            assert.equal(await page.locator("#logged-off").count(), 1);
            assert.equal((await cookie(context, "key"))?.value ?? "", "");
            await page.goto(console_.cgi("home.cgi"));
            assert.ok(await isTimeout(page));
            assert.deepEqual(page.problems, []);
            await context.close();
        });
    });
}
