// The log pages in a real browser, in both languages: the event log newest first in pages of
// each size, followed both ways and past a damaged line; filters by event number and dates;
// every text shown as text; the CSV download of exactly the shown records; the audit log with
// the console's own log-ons; the update log paged and filtered; hostile query values answered
// with a message on a 200 page; the pages at phone width. Records are written by the library's
// own writers (tests/console/fixtures/log_writer.cpp).
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import path from "node:path";
import { startConsole, launchBrowser, newPage, logOn, shot, runTool, build,
         languages } from "./support.mjs";

// The event log: e000..e134 over four days, event numbers 3, 4, 44 in turn; a damaged line in
// the oldest day's file after e002.
const days = [["2026-02-28", 0, 5], ["2026-03-01", 5, 20], ["2026-03-02", 25, 30],
              ["2026-03-03", 55, 80]];
const ids = [3, 4, 44];
const name = (i) => `e${String(i).padStart(3, "0")}`;
const marked = 60;
const markedDescription = `${name(marked)} a, b <b>bold</b> & "q"`;
const markedDetail = `=HYPERLINK("http://x")`;

function eventLines() {
    const lines = [];
    for (const [date, first, count] of days) {
        for (let i = first; i < first + count; ++i) {
            const time = `10:${String(Math.floor(i / 60)).padStart(2, "0")}:${String(i % 60).padStart(2, "0")}`;
            lines.push(["event", `${date} ${time}`, ids[i % 3],
                        i % 5 === 0 ? "fail" : "success",
                        i === marked ? markedDescription : name(i),
                        i === marked ? markedDetail : `d${i}`].join("\t"));
            if (i === 2) lines.push(["raw", "nvl20260228.log", "2026/02/28, 10:0"].join("\t"));
        }
    }
    return lines;
}

// The update log: u00..u22, kinds a and b in turn, days 2026-04-01..03.
const updates = 23;
function updateLines() {
    const lines = [];
    for (let i = 0; i < updates; ++i) {
        const stamp = `202604${String(1 + Math.floor(i / 10)).padStart(2, "0")}1200${String(i).padStart(2, "0")}`;
        lines.push(["update", stamp, i % 2 ? "b" : "a", i, -i, `u${String(i).padStart(2, "0")}, v1.${i}`].join("\t"));
    }
    return lines;
}

const texts = {
    en: { csvHeader: '"Date","Time","Event number"', updateHeader: '"Time","Kind"' },
    ja: { csvHeader: '"日付","時刻","イベント番号"', updateHeader: '"日時","種類"' },
};

async function rows(page) {
    return page.locator("table#records tbody tr").evaluateAll(
        (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
}

// Descriptions (their first word) of the shown event-log rows.
async function shown(page) {
    return (await rows(page)).map((cells) => cells[3].split(" ")[0]);
}

async function follow(page, selector) {
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click(selector)]);
}

for (const lang of languages) {
    describe(`log pages (${lang})`, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang });
            const writer = path.join(build, "tests/console/fixtures/console_log_writer");
            runTool(console_, writer, [`${console_.demo}/home`],
                    [...eventLines(), ...updateLines()].join("\n") + "\n");
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });

        test("the event log pages newest first both ways, past a damaged line", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.goto(console_.cgi("logs.cgi"));
            assert.equal((await rows(page)).length, 25, "25 records by default");
            assert.equal(await page.locator("a#previous").count(), 0);
            await page.selectOption("select[name=size]", "10");
            await follow(page, "form#filter [type=submit]");
            await shot(page, `logs-${lang}`);

            const expected = [];
            for (let i = 134; i >= 0; --i) expected.push(name(i));
            const seen = [];
            const pages = [];
            let notices = 0;
            for (;;) {
                const names = await shown(page);
                pages.push(names);
                seen.push(...names);
                if (await page.locator("#notice").count()) {
                    notices += 1;
                    assert.match(await page.textContent("#notice"), /2026\/02\/28/);
                    assert.equal(names.at(-1), name(3), "the listing stops at the damaged line");
                }
                assert.ok(names.length <= 10);
                if (!(await page.locator("a#next").count())) break;
                await follow(page, "a#next");
            }
            assert.deepEqual(seen, expected);
            assert.equal(notices, 1);
            // Back to the top by the newer links: each page the ten records just newer than
            // the one before (past the damaged line too), ending on the first page.
            let last = pages.at(-1);
            for (let steps = 0; await page.locator("a#previous").count(); ++steps) {
                assert.ok(steps < pages.length + 1);
                await follow(page, "a#previous");
                const from = expected.indexOf(last[0]);
                last = await shown(page);
                assert.deepEqual(last, expected.slice(Math.max(0, from - 10), Math.max(10, from)));
            }
            assert.deepEqual(last, pages[0]);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("filters by event number and dates, and every text is shown as text", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.goto(console_.cgi("logs.cgi"));
            await page.fill("input[name=kind]", "44");
            await page.fill("input[name=from]", "2026-03-02");
            await page.fill("input[name=to]", "2026-03-02");
            await follow(page, "form#filter [type=submit]");
            const expected = [];
            for (let i = 54; i >= 25; --i) if (ids[i % 3] === 44) expected.push(name(i));
            const found = await rows(page);
            assert.deepEqual(found.map((cells) => cells[3]), expected);
            for (const cells of found) {
                assert.equal(cells[1], "44");
                assert.match(cells[0], /^2026\/03\/02 /);
            }
            assert.equal(await page.inputValue("input[name=kind]"), "44");
            assert.equal(await page.inputValue("input[name=from]"), "2026-03-02");

            await page.goto(console_.cgi("logs.cgi?size=100&from=2026-03-03&to=2026-03-03"));
            const row = (await rows(page)).find((cells) => cells[3].startsWith(name(marked)));
            assert.equal(row[3], markedDescription);
            assert.equal(row[5], markedDetail);
            assert.equal(await page.locator("table#records b").count(), 0);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("the CSV download holds exactly the shown records, safely quoted", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.goto(console_.cgi("logs.cgi?size=100&from=2026-03-03&to=2026-03-03"));
            const names = await shown(page);
            assert.equal(names.length, 80);
            const [download] = await Promise.all([page.waitForEvent("download"),
                                                  page.click("a#csv")]);
            assert.equal(download.suggestedFilename(), "events-20260303-20260303.csv");
            const csv = readFileSync(await download.path(), "utf8");
            assert.ok(csv.startsWith("\ufeff" + texts[lang].csvHeader), csv.slice(0, 80));
            const lines = csv.slice(1).split("\r\n");
            assert.equal(lines.at(-1), "");
            assert.equal(lines.length, 1 + names.length + 1);
            lines.slice(1, -1).forEach((line, k) => {
                assert.ok(line.startsWith('"2026/03/03",'), line);
                assert.ok(line.includes(`,"${names[k]}`), `${line} holds ${names[k]}`);
            });
            const markedLine = lines.find((line) => line.includes(name(marked)));
            assert.ok(markedLine.includes(`"${name(marked)} a, b <b>bold</b> & ""q"""`), markedLine);
            assert.ok(markedLine.endsWith(`"'=HYPERLINK(""http://x"")"`), markedLine);

            const href = await page.getAttribute("a#csv", "href");
            const response = await context.request.get(new URL(href, page.url()).href);
            assert.equal(response.status(), 200);
            assert.equal(response.headers()["content-type"], "text/csv; charset=utf-8");
            assert.equal(response.headers()["content-disposition"],
                         'attachment; filename="events-20260303-20260303.csv"');
            // A deeper page downloads its own records.
            await page.selectOption("select[name=size]", "10");
            await follow(page, "form#filter [type=submit]");
            await follow(page, "a#next");
            const second = await shown(page);
            const deeper = await context.request.get(
                new URL(await page.getAttribute("a#csv", "href"), page.url()).href);
            const deeperLines = (await deeper.text()).split("\r\n").slice(1, -1);
            assert.deepEqual(deeperLines.map((line) => line.split(",")[4].slice(1, 5)), second);
            await context.close();
        });

        test("the audit log lists the console's log-ons", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.goto(console_.cgi("logs.cgi"));
            await page.selectOption("select[name=log]", "audit");
            await follow(page, "form#filter [type=submit]");
            const found = await rows(page);
            assert.ok(found.length >= 1);
            assert.equal(found[0][1], "1");
            assert.equal(found[0][2], "log on");
            assert.equal(found[0][3], "admin");
            assert.equal(await page.inputValue("select[name=log]"), "audit");
            assert.match(await page.getAttribute("a#csv", "href"), /log=audit/);
            const response = await context.request.get(
                new URL(await page.getAttribute("a#csv", "href"), page.url()).href);
            assert.match(response.headers()["content-disposition"], /filename="audit-\d{8}-\d{8}\.csv"/);
            await context.close();
        });

        test("the update log pages newest first and filters by kind and dates", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.goto(console_.cgi("updatelog.cgi?size=10"));
            const seen = [];
            for (;;) {
                const found = await rows(page);
                assert.ok(found.length <= 10);
                seen.push(...found.map((cells) => cells[4]));
                if (!(await page.locator("a#next").count())) break;
                await follow(page, "a#next");
            }
            const expected = [];
            for (let i = updates - 1; i >= 0; --i) expected.push(`u${String(i).padStart(2, "0")}, v1.${i}`);
            assert.deepEqual(seen, expected);
            await follow(page, "a#previous");
            assert.equal((await rows(page))[0][4], "u12, v1.12");

            await page.goto(console_.cgi("updatelog.cgi"));
            await page.fill("input[name=kind]", "b");
            await page.fill("input[name=from]", "2026-04-02");
            await follow(page, "form#filter [type=submit]");
            const found = await rows(page);
            assert.deepEqual(found.map((cells) => cells[4].slice(0, 3)),
                             ["u21", "u19", "u17", "u15", "u13", "u11"]);
            assert.deepEqual(found[0].slice(0, 4), ["2026/04/03 12:00:21", "b", "21", "-21"]);
            const [download] = await Promise.all([page.waitForEvent("download"),
                                                  page.click("a#csv")]);
            assert.equal(download.suggestedFilename(), "updates-20260402-20260403.csv");
            const csv = readFileSync(await download.path(), "utf8").split("\r\n");
            assert.ok(csv[0].startsWith("\ufeff" + texts[lang].updateHeader), csv[0]);
            assert.equal(csv[1], '"2026/04/03 12:00:21","b",21,-21,"u21, v1.21"');
            assert.equal(csv.length, 1 + 6 + 1);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("hostile query values get a message on a 200 page", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            // Values refused by both pages, then by each page alone.
            const common = [
                "size=7", "size=-10", "size=99999999999999999999999", "size=abc", "size=%E2%91%A0",
                "kind=%3Cscript%3Ealert(1)%3C/script%3E", "kind=99999999999999999999",
                "from=2026-02-30", "from=2026-3-1", "to=yesterday", "from=2026-03-03&to=2026-03-01",
                "csv=%22", "at=garbage", "at=-1", "kind=%e9", "size=%C3%A9&kind=%ED%A0%80",
            ];
            const own = {
                "logs.cgi": ["kind=0", "kind=-1", "kind=1e3", "at=20260231-5", "at=20260301--5",
                             "at=20260301-99999999999999999999999", "log=%2E%2E%2Fetc", "log=AUDIT"],
                "updatelog.cgi": ["kind=ab", "kind=%2C", "kind=%20", "at=0",
                                  "at=99999999999999999999"],
            };
            for (const program of Object.keys(own)) {
                for (const query of [...common, ...own[program]]) {
                    const response = await page.goto(console_.cgi(`${program}?${query}`));
                    assert.equal(response.status(), 200, `${program}?${query}`);
                    assert.equal(await page.locator("#notice").count(), 1,
                                 `${program}?${query} says what was wrong`);
                    assert.equal(await page.locator("form#filter").count(), 1);
                    assert.equal(await page.locator("table#records, #no-records").count(), 1);
                    assert.equal(await page.locator("script:not([src])").evaluateAll(
                        (scripts) => scripts.filter((s) => s.textContent.includes("alert")).length), 0);
                }
            }
            // A value the page cannot use is left out of the form and its links.
            await page.goto(console_.cgi("logs.cgi?kind=abc&size=10"));
            assert.equal(await page.inputValue("input[name=kind]"), "");
            assert.doesNotMatch(await page.getAttribute("a#next", "href"), /kind=/);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("the pages fit a phone's width and label every field", async () => {
            const { context, page } = await newPage(browser, { width: 390, height: 844 });
            await logOn(page, console_);
            for (const program of ["logs.cgi?size=10", "updatelog.cgi?size=10"]) {
                await page.goto(console_.cgi(program));
                const overflow = await page.evaluate(
                    () => document.documentElement.scrollWidth - window.innerWidth);
                assert.ok(overflow <= 1, `${program} is ${overflow} px too wide`);
                const unlabelled = await page.evaluate(() => [...document.querySelectorAll(
                    "input:not([type=hidden]), select")]
                    .filter((field) => field.labels.length === 0).map((field) => field.name));
                assert.deepEqual(unlabelled, [], program);
                await shot(page, `${program.split(".")[0]}-${lang}-390`);
            }
            assert.deepEqual(page.problems, []);
            await context.close();
        });
    });
}
