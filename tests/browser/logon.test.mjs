// Log-on limits and the settings page in a real browser, in both languages: a shorter idle
// period ends an idle session, a changed password replaces the old one, a run of wrong
// passwords makes the next attempt wait, and settings posted without the form token or from
// another site are refused with 403 and change nothing. Each test has a console of its own:
// they change the password, the idle period and the failure counts.
import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { startConsole, launchBrowser, newPage, logOn, cookie, isTimeout, shot, sleep,
         languages } from "./support.mjs";

const ini = (console_) => readFileSync(`${console_.demo}/home/nvlscan.ini`, "latin1");
const idlePeriod = (console_) => /Cookie_Expire_Period=([^\r\n]*)/.exec(ini(console_))?.[1];

// Runs `body(console_, browser)` on a console and a browser of its own.
async function onOwnConsole(lang, body) {
    const console_ = await startConsole({ lang });
    const browser = await launchBrowser();
    try {
        await body(console_, browser);
    } finally {
        await browser.close();
        await console_.stop();
    }
}

async function openSettings(page, console_) {
    const response = await page.goto(console_.cgi("settings.cgi"));
    assert.equal(response.status(), 200);
    await page.waitForSelector("form#expire-form");
}

async function submit(page, form) {
    await Promise.all([page.waitForNavigation(), page.click(`${form} [type=submit]`)]);
}

// One log-on attempt from the open log-on page; returns how long the answer took, in ms.
async function timedAttempt(page, user, pass) {
    await page.fill("input[name=user]", user);
    await page.fill("input[name=password]", pass);
    const started = Date.now();
    await Promise.all([page.waitForNavigation(), page.click("#login [type=submit]")]);
    return Date.now() - started;
}

for (const lang of languages) {
    describe(`log-on limits and settings (${lang})`, { concurrency: true }, () => {
        test("a shorter idle period ends a session left idle for it", { timeout: 150_000 },
             () => onOwnConsole(lang, async (console_, browser) => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await openSettings(page, console_);
            assert.equal(await page.inputValue("#expire"), "30");
            // Every field has its label.
            const unlabelled = await page.evaluate(() => [...document.querySelectorAll(
                "input:not([type=hidden]), select, textarea")]
                .filter((field) => field.labels.length === 0).map((field) => field.name));
            assert.deepEqual(unlabelled, []);
            await shot(page, `settings-${lang}`);

            await page.fill("#expire", "1");
            await submit(page, "form#expire-form");
            assert.equal(await page.getAttribute("#message", "class"), "notice ok");
            assert.equal(await page.inputValue("#expire"), "1");
            assert.equal(idlePeriod(console_), "1");

            await sleep(65_000);
            await page.goto(console_.cgi("home.cgi"));
            assert.ok(await isTimeout(page), "time-out page after a minute and more idle");
            assert.deepEqual(page.problems, []);
            await context.close();
        }));

        test("after a password change the old password fails and the new one works",
             { timeout: 150_000 }, () => onOwnConsole(lang, async (console_, browser) => {
            const { context, page } = await newPage(browser);
            const fresh = `neu-パス-${Math.random().toString(16).slice(2, 10)}`;
            await logOn(page, console_);
            await openSettings(page, console_);

            // Refused changes first: each says why and keeps the password.
            const before = ini(console_);
            for (const [old, new1, new2] of [[console_.password, fresh, fresh + "x"],
                                             [console_.password, "short", "short"],
                                             [console_.password + "x", fresh, fresh]]) {
                await page.fill("#old", old);
                await page.fill("#new1", new1);
                await page.fill("#new2", new2);
                // The browser's own length check would stop "short" before it is sent.
                await page.evaluate(() => document.querySelector("#password-form")
                    .setAttribute("novalidate", ""));
                await submit(page, "form#password-form");
                assert.equal(await page.getAttribute("#message", "class"), "notice error",
                             `${new1} / ${new2}`);
            }
            assert.equal(ini(console_), before);

            await page.fill("#old", console_.password);
            await page.fill("#new1", fresh);
            await page.fill("#new2", fresh);
            await submit(page, "form#password-form");
            assert.equal(await page.getAttribute("#message", "class"), "notice ok");
            assert.notEqual(ini(console_), before);
            await context.close();

            const second = await newPage(browser);
            await logOn(second.page, console_);
            assert.equal(await second.page.locator("#notice").count(), 1, "old password");
            assert.equal(await cookie(second.context, "session"), undefined);
            await logOn(second.page, console_, { pass: fresh });
            assert.equal(await second.page.locator("#logout").count(), 1, "new password");
            assert.deepEqual(second.page.problems, []);
            await second.context.close();
        }));

        test("a run of wrong passwords makes the next attempts wait", { timeout: 150_000 },
             () => onOwnConsole(lang, async (console_, browser) => {
            const { context, page } = await newPage(browser);
            await page.goto(console_.cgi("login.cgi"));
            // The first five failures of a name cost no wait; the fastest of them is what an
            // attempt costs here without one.
            const free = [];
            for (let i = 0; i < 5; ++i) free.push(await timedAttempt(page, "flooded", `wrong-${i}`));
            const normal = Math.min(...free);
            assert.equal(await page.locator("#delayed").count(), 1);
            // The waits are the page's own sleeps: lower bounds that no load can shorten. Beyond
            // them, the seventh (a wait of two seconds) must take at least a second longer than
            // the fastest attempt without a wait, leaving room for the machine's load to halve
            // what an attempt costs meanwhile.
            const sixth = await timedAttempt(page, "flooded", "wrong-6");
            assert.ok(sixth >= 1000, `the sixth attempt took ${sixth} ms`);
            const seventh = await timedAttempt(page, "flooded", "wrong-7");
            assert.ok(seventh >= 2000 && seventh >= normal + 1000,
                      `the seventh attempt took ${seventh} ms, one without a wait ${normal} ms`);
            assert.equal(await page.locator("#notice").count(), 1);
            await shot(page, `logon-delayed-${lang}`);

            // The count is the name's own: the administrator still logs on.
            await timedAttempt(page, "admin", console_.password);
            assert.equal(await page.locator("#logout").count(), 1);
            assert.deepEqual(page.problems, []);
            await context.close();
        }));

        test("settings posted without the token or from another site are refused",
             { timeout: 150_000 }, () => onOwnConsole(lang, async (console_, browser) => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await openSettings(page, console_);
            const token = await page.inputValue("#expire-form input[name=token]");
            assert.match(token, /^[0-9a-f]{64}$/);
            const before = ini(console_);
            const post = (form, origin = console_.origin) =>
                page.request.post(console_.cgi("settings.cgi"), {
                    form, headers: { Origin: origin }, maxRedirects: 0 });

            const forged = [
                [{ change: "expire", expire: "5" }, console_.origin],
                [{ change: "expire", expire: "5", token: "0".repeat(64) }, console_.origin],
                [{ change: "expire", expire: "5", token }, "http://evil.example"],
                [{ change: "expire", expire: "5", token }, "null"],
                [{ change: "password", old: console_.password, new1: "forged-password",
                   new2: "forged-password", token }, "http://evil.example"],
            ];
            for (const [form, origin] of forged) {
                const response = await post(form, origin);
                assert.equal(response.status(), 403, JSON.stringify(form) + " from " + origin);
                assert.match(await response.text(), /id="forbidden"/);
            }
            // Plain fetch from elsewhere, with the session's cookies but no token.
            const cookies = (await context.cookies()).map((c) => `${c.name}=${c.value}`).join("; ");
            const foreign = await fetch(console_.cgi("settings.cgi"), {
                method: "POST", redirect: "manual",
                headers: { Cookie: cookies, Origin: "http://evil.example",
                           "Content-Type": "application/x-www-form-urlencoded" },
                body: "change=expire&expire=5",
            });
            assert.equal(foreign.status, 403);
            assert.equal(ini(console_), before, "nothing was written");

            // The same request from the console with the token is taken.
            const taken = await post({ change: "expire", expire: "5", token });
            assert.equal(taken.status(), 200);
            assert.match(await taken.text(), /id="message" class="notice ok"/);
            assert.equal(idlePeriod(console_), "5");
            await context.close();
        }));
    });
}
