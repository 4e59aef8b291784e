// The log-on session in a real browser: log on, use the console past the idle period, time
// out when idle, log off, and refuse a tampered key cookie; in both languages, each on a
// console of its own with an idle period of one minute.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { startConsole, launchBrowser, newPage, logOn, cookie, isTimeout, shot, sleep,
         languages } from "./support.mjs";

const periodMs = 60_000;

for (const lang of languages) {
    describe(`session (${lang})`, { concurrency: true }, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang, expire: 1 });
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });
        const home = () => console_.cgi("home.cgi");
        const isHome = async (page) => (await page.locator("#logout").count()) === 1;

        test("a wrong password is refused and the right one opens the home page", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_, { pass: console_.password + "x" });
            assert.equal(await page.locator("#notice").count(), 1);
            assert.equal(await cookie(context, "session"), undefined);
            await logOn(page, console_);
            await shot(page, `home-${lang}`);
            assert.ok(await isHome(page), "home page after log-on");
            assert.match(page.url(), /\/norvel\/cgi\/home\.cgi$/);
            for (const name of ["session", "key", "stamp"]) {
                assert.equal((await cookie(context, name))?.path, "/norvel", name);
            }
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("using the console for longer than the idle period keeps the session", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            const firstStamp = (await cookie(context, "stamp")).value;
            const until = Date.now() + periodMs + 20_000;
            while (Date.now() < until) {
                await sleep(15_000);
                await page.goto(home());
                assert.ok(await isHome(page), "still logged on while in use");
            }
            // The page script renewed the browser's stamp: the policy let it run.
            assert.notEqual((await cookie(context, "stamp")).value, firstStamp);
            assert.equal((await cookie(context, "retry"))?.value, "0");
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("a session left idle for longer than the period times out", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            assert.ok(await isHome(page));
            await sleep(periodMs + 5_000);
            await page.goto(home());
            await shot(page, `timeout-${lang}`);
            assert.ok(await isTimeout(page), "time-out page after the idle period");
            await context.close();
        });

        test("after log-off the console refuses the browser, also with the old cookies", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            const old = await context.cookies();
            await Promise.all([page.waitForLoadState("load"), page.click("#logout")]);
            await shot(page, `logout-${lang}`);
            assert.equal((await cookie(context, "key"))?.value ?? "", "");
            await page.goto(home());
            assert.ok(await isTimeout(page), "refused after log-off");
            await context.addCookies(old);
            await page.goto(home());
            assert.ok(await isTimeout(page), "old cookies replayed after log-off are refused");
            await context.close();
        });

        test("a tampered key cookie gets the time-out page", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            const key = await cookie(context, "key");
            const last = key.value.at(-1) === "9" ? "0" : String(Number(key.value.at(-1)) + 1);
            await context.addCookies([{ ...key, value: key.value.slice(0, -1) + last }]);
            await page.goto(home());
            assert.ok(await isTimeout(page), "tampered key refused");
            await context.close();
        });
    });
}
