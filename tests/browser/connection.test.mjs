// The connection test page in a real browser. In English: the console's own copyright page
// fetched directly (its body shown), then through squid with Basic authentication, with the
// right password and with a wrong one (the proxy-authentication outcome); the password is never
// written back, nor found in any log or trace of the demo; bad input answered by a message. In
// Japanese: the page's texts, a fetch and a refusal.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { chownSync, chmodSync, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync,
         statSync, writeFileSync } from "node:fs";
import { connect, createServer } from "node:net";
import { tmpdir, userInfo } from "node:os";
import path from "node:path";
import { startConsole, launchBrowser, newPage, logOn, shot, sleep } from "./support.mjs";

const title = { en: "Connection test", ja: "接続テスト" };
const squidProgram = "/usr/sbin/squid";
const copyright = "norvel/html/copyright.htm";

function freePort() {
    return new Promise((resolve, reject) => {
        const server = createServer();
        server.on("error", reject);
        server.listen(0, "127.0.0.1", () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

const accepts = (port) => new Promise((resolve) => {
    const socket = connect(port, "127.0.0.1");
    socket.on("connect", () => { socket.destroy(); resolve(true); });
    socket.on("error", () => resolve(false));
});

// squid in the foreground on a free loopback port with its own configuration: only the users
// of its password file, by Basic authentication; no cache; pid and logs in its directory.
async function startSquid(users) {
    const dir = mkdtempSync(path.join(tmpdir(), "console-squid-"));
    const passwords = Object.entries(users).map(([user, password]) =>
        `${user}:${execFileSync("openssl", ["passwd", "-apr1", password], { encoding: "utf8" }).trim()}\n`);
    writeFileSync(`${dir}/passwd`, passwords.join(""));
    const port = await freePort();
    const root = userInfo().uid === 0;
    writeFileSync(`${dir}/squid.conf`, [
        `http_port 127.0.0.1:${port}`, "cache deny all", `pid_filename ${dir}/squid.pid`,
        `access_log stdio:${dir}/access.log squid`, `cache_log ${dir}/cache.log`,
        `coredump_dir ${dir}`, "netdb_filename none", "pinger_enable off",
        "shutdown_lifetime 0 seconds",
        `auth_param basic program /usr/lib/squid/basic_ncsa_auth ${dir}/passwd`,
        "auth_param basic children 2", "acl auth proxy_auth REQUIRED", "http_access allow auth",
        "http_access deny all", ...(root ? ["cache_effective_user nobody"] : []), ""].join("\n"));
    if (root) {
        // Run by root, squid works as nobody, which must read its files and write its logs.
        const nobody = Number(execFileSync("id", ["-u", "nobody"], { encoding: "utf8" }));
        const group = Number(execFileSync("id", ["-g", "nobody"], { encoding: "utf8" }));
        for (const file of [dir, `${dir}/passwd`, `${dir}/squid.conf`]) chownSync(file, nobody, group);
        chmodSync(dir, 0o755);
    }
    const child = spawn(squidProgram, ["-N", "-f", `${dir}/squid.conf`],
                        { stdio: ["ignore", "ignore", "pipe"] });
    let errors = "";
    child.stderr.on("data", (data) => { errors += data; });
    const until = Date.now() + 30_000;
    while (!(await accepts(port))) {
        if (child.exitCode !== null) throw new Error(`squid exited: ${errors}`);
        if (Date.now() > until) throw new Error(`squid did not accept within 30 s: ${errors}`);
        await sleep(50);
    }
    return {
        port, dir,
        stop: async () => {
            if (child.exitCode === null && child.signalCode === null) {
                const exited = new Promise((resolve) => child.once("exit", resolve));
                child.kill("SIGKILL");
                await exited;
            }
            rmSync(dir, { recursive: true, force: true });
        },
    };
}

// Every file below `dir` (symbolic links not followed), as paths of bytes: a name need not be
// text.
function files(dir) {
    const found = [];
    const base = Buffer.isBuffer(dir) ? dir : Buffer.from(dir);
    for (const entry of readdirSync(base, { withFileTypes: true, encoding: "buffer" })) {
        const file = Buffer.concat([base, Buffer.from("/"), entry.name]);
        if (entry.isDirectory()) found.push(...files(file));
        else if (entry.isFile()) found.push(file);
    }
    return found;
}

async function openPage(page, console_, lang) {
    await logOn(page, console_);
    await page.click(`nav.menu a[href="connection.cgi"]`);
    await page.waitForSelector("#connection-form");
    assert.equal(await page.textContent("h1"), title[lang]);
}

async function runTest(page, fields, { proxy = false } = {}) {
    for (const [name, value] of Object.entries(fields)) await page.fill(`#${name}`, value);
    await page.setChecked("#proxy", proxy);
    const [response] = await Promise.all([page.waitForNavigation(), page.click("#test")]);
    return response;
}

describe("connection test (en)", () => {
    let browser, console_, squid;
    const password = "pr0xy-pässwörd-" + Math.random().toString(16).slice(2, 10);
    before(async () => {
        console_ = await startConsole({ lang: "en", logServer: true });
        squid = await startSquid({ alice: password });
        browser = await launchBrowser();
    });
    after(async () => {
        await browser?.close();
        await squid?.stop();
        await console_?.stop();
    });

    test("directly, through the proxy, with a wrong password, and bad input", async () => {
        const { page } = await newPage(browser);
        await openPage(page, console_, "en");
        const port = new URL(console_.url).port;
        const file = `${console_.demo}/www/${copyright}`;
        const direct = { host: "127.0.0.1", port, path: `/${copyright}` };

        await runTest(page, direct);
        assert.equal(await page.getAttribute("#outcome", "data-result"), "1");
        assert.match(await page.textContent("#outcome"), /^Success/);
        assert.equal(await page.textContent("#body-size"), `${statSync(file).size} bytes`);
        const body = await page.textContent("#body");
        assert.ok(readFileSync(file, "utf8").startsWith(body.slice(0, 200)), body);
        assert.match(await page.textContent("#tested"), /directly$/);
        // The form keeps what was sent.
        assert.equal(await page.inputValue("#path"), `/${copyright}`);
        await shot(page, "connection-direct-en");

        const proxied = { ...direct, "proxy-host": "127.0.0.1", "proxy-port": String(squid.port),
                          "proxy-user": "alice", "proxy-password": password };
        await runTest(page, proxied, { proxy: true });
        assert.equal(await page.getAttribute("#outcome", "data-result"), "1");
        assert.match(await page.textContent("#tested"), new RegExp(`through the proxy 127\\.0\\.0\\.1:${squid.port}$`));
        assert.equal(await page.inputValue("#proxy-password"), "", "the password is never written back");
        assert.ok(!(await page.content()).includes(password));
        const logged = () => existsSync(`${squid.dir}/access.log`) &&
            readFileSync(`${squid.dir}/access.log`, "utf8").includes(" alice ");
        for (let i = 0; i < 200 && !logged(); ++i) await sleep(25);
        assert.ok(logged(), "squid served alice");
        await shot(page, "connection-proxy-en");

        await runTest(page, { ...proxied, "proxy-password": `${password}-wrong` }, { proxy: true });
        assert.equal(await page.getAttribute("#outcome", "data-result"), "-10");
        assert.match(await page.textContent("#outcome"), /proxy requires authentication/);
        assert.equal(await page.locator("#body").count(), 0);

        // Bad input: a message, the form again, nothing sent.
        for (const [fields, proxy, message] of [
            [{ ...direct, port: "http" }, false, /port must be a whole number/],
            [{ ...direct, host: "" }, false, /Enter the server's host name/],
            [{ ...direct, path: "copyright.htm" }, false, /path must start with \//],
            [{ ...proxied, "proxy-port": "99999" }, true, /proxy port must be/]]) {
            // The browser's own check would keep an empty host from being sent at all.
            await page.evaluate(() => document.getElementById("host").removeAttribute("required"));
            const response = await runTest(page, fields, { proxy });
            assert.equal(response.status(), 200);
            assert.match(await page.textContent("#message"), message);
            assert.equal(await page.locator("#result").count(), 0);
        }
        assert.deepEqual(page.problems, []);

        // Nothing the demo keeps (logs, traces, settings) holds the password.
        await console_.stopLogServer();
        for (const file of [...files(console_.demo), ...files(squid.dir)])
            assert.ok(!readFileSync(file).includes(password), file.toString("latin1"));
    });
});

describe("connection test (ja)", () => {
    let browser, console_;
    before(async () => {
        console_ = await startConsole({ lang: "ja" });
        browser = await launchBrowser();
    });
    after(async () => {
        await browser?.close();
        await console_?.stop();
    });

    test("its texts, a fetch and a refusal", async () => {
        const { page } = await newPage(browser);
        await openPage(page, console_, "ja");
        assert.equal(await page.textContent("#test"), "接続をテスト");
        const port = new URL(console_.url).port;
        await runTest(page, { host: "127.0.0.1", port, path: `/${copyright}` });
        assert.equal(await page.getAttribute("#outcome", "data-result"), "1");
        assert.match(await page.textContent("#outcome"), /^成功/);
        await runTest(page, { host: "127.0.0.1", port: "0", path: "/" });
        assert.match(await page.textContent("#message"), /ポートは 1 から 65535/);
        // A port where nothing listens: refused, in the catalog's words.
        await runTest(page, { host: "127.0.0.1", port: String(await freePort()), path: "/" });
        assert.equal(await page.getAttribute("#outcome", "data-result"), "-5");
        assert.match(await page.textContent("#outcome"), /接続が拒否された/);
        await shot(page, "connection-ja");
        assert.deepEqual(page.problems, []);
    });
});
