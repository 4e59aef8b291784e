// The demo console in a real browser: log on, use the console past the idle period, time out
// when idle, log off, and refuse a tampered key cookie. The console is served by lighttpd
// (scripts/browser-test.sh starts it with Cookie_Expire_Period=1, so the idle period is one
// minute) and driven in headless Chromium.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { chromium } from "playwright-core";

const base = process.env.CONSOLE_URL; // e.g. http://127.0.0.1:18080/norvel/
const password = process.env.CONSOLE_PASSWORD;
const shots = process.env.SCREENSHOT_DIR;
const periodMs = 60_000;

let browser;

before(async () => {
    assert.ok(base && password, "CONSOLE_URL and CONSOLE_PASSWORD must be set");
    browser = await chromium.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    });
});

after(async () => {
    await browser?.close();
});

async function newPage() {
    const context = await browser.newContext();
    const page = await context.newPage();
    page.setDefaultTimeout(15_000);
    return { context, page };
}

async function logOn(page, pass = password) {
    await page.goto(base);
    await page.waitForSelector("form#login");
    await page.fill("input[name=password]", pass);
    await Promise.all([page.waitForLoadState("load"), page.click("input[type=submit]")]);
}

async function isHome(page) {
    return (await page.locator("a#logout").count()) === 1;
}

async function isTimeout(page) {
    return (await page.locator("#timeout").count()) === 1;
}

async function cookie(context, name) {
    return (await context.cookies()).find((c) => c.name === name);
}

async function shot(page, name) {
    if (shots) await page.screenshot({ path: `${shots}/${name}.png`, fullPage: true });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

test("a wrong password is refused and the right one opens the home page", async () => {
    const { context, page } = await newPage();
    await logOn(page, password + "x");
    assert.equal(await page.locator("#notice").count(), 1);
    assert.equal(await cookie(context, "session"), undefined);
    await logOn(page);
    await shot(page, "home");
    assert.ok(await isHome(page), "home page after log-on");
    assert.match(page.url(), /\/norvel\/cgi\/home\.cgi$/);
    for (const name of ["session", "key", "stamp"]) {
        assert.equal((await cookie(context, name))?.path, "/norvel", name);
    }
    await context.close();
});

test("using the console for longer than the idle period keeps the session", async () => {
    const { context, page } = await newPage();
    await logOn(page);
    const firstStamp = (await cookie(context, "stamp")).value;
    const until = Date.now() + periodMs + 20_000;
    while (Date.now() < until) {
        await sleep(15_000);
        await page.goto(new URL("cgi/home.cgi", base).href);
        assert.ok(await isHome(page), "still logged on while in use");
    }
    // The page script renewed the browser's stamp.
    assert.notEqual((await cookie(context, "stamp")).value, firstStamp);
    assert.equal((await cookie(context, "retry"))?.value, "0");
    await context.close();
});

test("a session left idle for longer than the period times out", async () => {
    const { context, page } = await newPage();
    await logOn(page);
    assert.ok(await isHome(page));
    await sleep(periodMs + 5_000);
    await page.goto(new URL("cgi/home.cgi", base).href);
    await shot(page, "timeout");
    assert.ok(await isTimeout(page), "time-out page after the idle period");
    await context.close();
});

test("after log-off the console refuses the browser, also with the old cookies", async () => {
    const { context, page } = await newPage();
    await logOn(page);
    const old = await context.cookies();
    await Promise.all([page.waitForLoadState("load"), page.click("a#logout")]);
    await shot(page, "logout");
    assert.equal((await cookie(context, "key"))?.value ?? "", "");
    await page.goto(new URL("cgi/home.cgi", base).href);
    assert.ok(await isTimeout(page), "refused after log-off");
    await context.addCookies(old);
    await page.goto(new URL("cgi/home.cgi", base).href);
    assert.ok(await isTimeout(page), "old cookies replayed after log-off are refused");
    await context.close();
});

test("a tampered key cookie gets the time-out page", async () => {
    const { context, page } = await newPage();
    await logOn(page);
    const key = await cookie(context, "key");
    const last = key.value.at(-1) === "9" ? "0" : String(Number(key.value.at(-1)) + 1);
    await context.addCookies([{ ...key, value: key.value.slice(0, -1) + last }]);
    await page.goto(new URL("cgi/home.cgi", base).href);
    assert.ok(await isTimeout(page), "tampered key refused");
    await context.close();
});
