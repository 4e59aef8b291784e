// What the browser tests share: a demo console of their own (scripts/console-setup.sh, served
// by lighttpd on a free loopback port, optionally with the master service and the log server
// beside it), headless Chromium, and the log-on steps. Each test file starts the consoles it
// needs, so tests that change the password or the idle period never disturb another file.
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, existsSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
import { createServer, connect } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const build = path.resolve(process.env.BUILD_DIR ?? path.join(root, "build/release"));
export const shots = process.env.SCREENSHOT_DIR;
export const languages = ["en", "ja"];

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function freePort() {
    return new Promise((resolve, reject) => {
        const server = createServer();
        server.unref();
        server.on("error", reject);
        server.listen(0, "127.0.0.1", () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

async function waitFor(condition, what, ms = 20_000) {
    const until = Date.now() + ms;
    while (!(await condition())) {
        if (Date.now() > until) throw new Error(`${what} did not happen within ${ms} ms`);
        await sleep(25);
    }
}

function portOpen(port) {
    return new Promise((resolve) => {
        const socket = connect(port, "127.0.0.1");
        socket.on("connect", () => { socket.destroy(); resolve(true); });
        socket.on("error", () => resolve(false));
    });
}

// Starts a console in `lang` with a fresh demo server. Options: expire (idle minutes),
// masterService, logServer (start those beside it), cgiEnv (variables lighttpd adds to the
// pages' environment, such as a test stop of the programs they start). Returns { url,
// password, demo, env, stopMasterService(), stopLogServer(), stop() }.
export async function startConsole({ lang = "en", expire = 30, masterService = false,
                                     logServer = false, cgiEnv = {} } = {}) {
    const demo = path.join(mkdtempSync(path.join(tmpdir(), `console-${lang}-`)), "demo");
    const port = await freePort();
    const password = `browser-café-日本-${Math.random().toString(16).slice(2, 10)}`;
    const env = { ...process.env, NVL_REGISTRY: `${demo}/etc/registry.reg`,
                  NVL_RUNTIME_DIR: `${demo}/run` };
    execFileSync(path.join(root, "scripts/console-setup.sh"), [demo, build, String(port), lang],
                 { env: { ...env, CONSOLE_PASSWORD: password, CONSOLE_EXPIRE: String(expire) },
                   stdio: ["ignore", "ignore", "inherit"] });
    const extra = Object.entries(cgiEnv).map(([name, value]) => `    "${name}" => "${value}",\n`);
    if (extra.length > 0) {
        const conf = `${demo}/lighttpd.conf`;
        writeFileSync(conf, readFileSync(conf, "utf8").replace(
            "setenv.add-environment = (\n", `setenv.add-environment = (\n${extra.join("")}`));
    }
    const children = {};
    const start = (name, program, args) => {
        const child = spawn(program, args, { env, stdio: ["ignore", "ignore", "inherit"] });
        children[name] = child;
        return child;
    };
    if (logServer) {
        start("logServer", `${build}/standins/logserver/nvl-logserver`,
              ["--log", `${demo}/logs/trace.log`]);
        await waitFor(() => existsSync(`${demo}/logs/trace.log`), "the log server's start");
    }
    if (masterService) {
        start("masterService", `${build}/standins/masterservice/nvl-masterservice`,
              ["--log", `${demo}/logs/masterservice.log`]);
        await waitFor(() => existsSync(`${demo}/run/objects/n.Halden_Norvel_Server_Stop_Event`),
                      "the master service's start");
    }
    const lighttpd = existsSync("/usr/sbin/lighttpd") ? "/usr/sbin/lighttpd" : "lighttpd";
    const server = start("lighttpd", lighttpd, ["-D", "-f", `${demo}/lighttpd.conf`]);
    await waitFor(() => portOpen(port), "lighttpd's start");

    const stopChild = async (name) => {
        const child = children[name];
        if (!child || child.exitCode !== null || child.signalCode !== null) return;
        const exited = new Promise((resolve) => child.once("exit", resolve));
        child.kill("SIGTERM");
        await exited;
    };
    return {
        url: `http://127.0.0.1:${port}/norvel/`,
        cgi: (name) => `http://127.0.0.1:${port}/norvel/cgi/${name}`,
        origin: `http://127.0.0.1:${port}`,
        password, demo, env, lang, server,
        stopMasterService: () => stopChild("masterService"),
        // The log server writes out every trace it has taken when it stops.
        stopLogServer: () => stopChild("logServer"),
        stop: async () => {
            for (const name of Object.keys(children).reverse()) await stopChild(name);
            if (!process.env.KEEP_BROWSER_TEST) rmSync(path.dirname(demo), { recursive: true, force: true });
        },
    };
}

export async function launchBrowser() {
    return chromium.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    });
}

// A new browser context and page that records console errors and CSP violations in
// `page.problems`.
export async function newPage(browser, { width = 1280, height = 800 } = {}) {
    const context = await browser.newContext({ viewport: { width, height } });
    const page = await context.newPage();
    page.setDefaultTimeout(30_000);
    page.problems = [];
    page.on("console", (message) => {
        if (message.type() === "error") page.problems.push(message.text());
    });
    page.on("pageerror", (error) => page.problems.push(String(error)));
    return { context, page };
}

// Opens the log-on page and submits `user` and `pass`.
export async function logOn(page, console_, { user = "admin", pass = console_.password } = {}) {
    await page.goto(console_.url);
    await page.waitForSelector("form#login");
    await page.fill("input[name=user]", user);
    await page.fill("input[name=password]", pass);
    await Promise.all([page.waitForLoadState("load"), page.click("#login [type=submit]")]);
}

export async function cookie(context, name) {
    return (await context.cookies()).find((c) => c.name === name);
}

export async function isTimeout(page) {
    return (await page.locator("#timeout").count()) === 1;
}

export async function shot(page, name) {
    if (!shots) return;
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: `${shots}/${name}.png`, fullPage: true });
}

// Runs a program of the build with the console's registry and runtime directory.
export function runTool(console_, program, args, input) {
    return execFileSync(program, args, { env: console_.env, input });
}
