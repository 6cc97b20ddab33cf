// tm350 setup as a user meets it: the tool started on the simulated camera,
// its address opened in headless Chromium, the pages driven with the mouse.
// Usage: node setup_test.mjs PATH/TO/tm350 OUTPUT_FOLDER
// Screenshots of both languages go to OUTPUT_FOLDER; their paths are printed.
import { spawn } from "node:child_process";
import { mkdtempSync, mkdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import readline from "node:readline";
import assert from "node:assert/strict";
import { chromium } from "playwright-core";

const [tm350, outputFolder] = process.argv.slice(2);
if (!tm350 || !outputFolder) {
  console.error("usage: node setup_test.mjs PATH/TO/tm350 OUTPUT_FOLDER");
  process.exit(2);
}
const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
// Every wait ends in a failure rather than a hang.
const kWait = 30000;

const kGamma = 1042, kContrast = 1043, kSaturation = 1044, kTarget = 1024, kTime = 1027, kGain = 1026;
const kRed = 1084, kGreen = 1085, kBlue = 1086;
const kGammaSlider = 1011, kDefault = 1020, kOnePushWb = 1023;

// The tool with a registry of its own, so it starts from the stored defaults.
async function startSetup(language) {
  const registry = mkdtempSync(path.join(tmpdir(), "tm350-browser-"));
  const child = spawn(tm350, ["setup", "--lang", language], {
    env: { ...process.env, TM350_REGISTRY: registry },
    stdio: ["ignore", "pipe", "pipe"],
  });
  const output = [];
  child.stderr.on("data", (data) => output.push(data.toString()));
  const exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
  const lines = readline.createInterface({ input: child.stdout });
  const address = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no address within ${kWait} ms: ${output.join("")}`)), kWait);
    lines.on("line", (line) => {
      output.push(line + "\n");
      const found = /^tm350 setup: open (http:\/\/127\.0\.0\.1:\d+\/) in a browser$/.exec(line);
      if (found) {
        clearTimeout(timer);
        resolve(found[1]);
      }
    });
    exited.then(({ code }) => reject(new Error(`tm350 setup exited with ${code}: ${output.join("")}`)));
  });
  return {
    address,
    exited,
    output,
    child,
    cleanUp() {
      if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
      rmSync(registry, { recursive: true, force: true });
    },
  };
}

const label = (page, id) => page.locator(`.window[data-id="${id}"].static`).first().innerText();

async function expectLabel(page, id, expected) {
  await page.waitForFunction(
    ([id, expected]) => document.querySelector(`.window[data-id="${id}"].static`)?.textContent === expected,
    [id, expected], { timeout: kWait }).catch(async () => {
      assert.equal(await label(page, id), expected, `label ${id}`);
    });
}

async function centreOf(page, selector) {
  const box = await page.locator(selector).first().boundingBox();
  assert.ok(box, `${selector} is drawn`);
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

async function clickControl(page, id) {
  const { x, y } = await centreOf(page, `.window[data-id="${id}"]`);
  const before = await page.evaluate(() => Number(document.body.dataset.generation));
  await page.mouse.click(x, y);
  // The answer to the release carries the state after the page handled it.
  await page.waitForFunction(() => document.body.dataset.inputIdle === "true", null, { timeout: kWait });
  return before;
}

// Samples counted so far, as the page shows them.
const samples = (page) => page.evaluate(() => Number(document.getElementById("samples").textContent));

// Mean light of the newest picture, taken after `frames` more samples came.
async function pictureLight(page, frames) {
  const from = await samples(page);
  await page.waitForFunction((until) => Number(document.getElementById("samples").textContent) >= until,
    from + frames, { timeout: kWait });
  return page.evaluate(async () => {
    const response = await fetch("picture.jpg", { cache: "no-store" });
    const bitmap = await createImageBitmap(await response.blob());
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const context = canvas.getContext("2d");
    context.drawImage(bitmap, 0, 0);
    const { data } = context.getImageData(0, 0, bitmap.width, bitmap.height);
    let sum = 0;
    for (let i = 0; i < data.length; i += 4) sum += data[i] + data[i + 1] + data[i + 2];
    return sum / (data.length / 4) / 3;
  });
}

async function postInput(page, body) {
  return page.evaluate(async (body) => {
    const response = await fetch("input", { method: "POST", body, headers: { "Content-Type": "application/json" } });
    return { status: response.status, answer: await response.json() };
  }, body);
}

async function checkEnglish(browser) {
  const setup = await startSetup("en");
  try {
    const page = await browser.newPage({ viewport: { width: 1800, height: 1000 } });
    await page.goto(setup.address);
    // The stored defaults, as the page writes its labels.
    await expectLabel(page, kGamma, "1.00");
    await expectLabel(page, kContrast, "30");
    await expectLabel(page, kSaturation, "100");
    await expectLabel(page, kTarget, "100");
    await expectLabel(page, kTime, "25.480ms");
    await expectLabel(page, kGain, "13.86 dB");
    assert.ok(await page.locator(".window.static", { hasText: "Gamma" }).count() > 0, "the Gamma label is drawn");

    // The gamma thumb dragged to the right end of its channel.
    const light = await pictureLight(page, 1);
    const thumb = await centreOf(page, `.window[data-id="${kGammaSlider}"] .thumb`);
    const slider = await page.locator(`.window[data-id="${kGammaSlider}"]`).boundingBox();
    await page.mouse.move(thumb.x, thumb.y);
    await page.mouse.down();
    for (let step = 1; step <= 5; ++step)
      await page.mouse.move(thumb.x + ((slider.x + slider.width - thumb.x) * step) / 5, thumb.y);
    await page.mouse.up();
    await page.waitForFunction(() => document.body.dataset.inputIdle === "true", null, { timeout: kWait });
    const gamma = Number(await label(page, kGamma));
    assert.ok(gamma > 1.5, `gamma label after the drag: ${gamma}`);
    const lightAfter = await pictureLight(page, 3);
    assert.ok(Math.abs(lightAfter - light) > 3, `the picture changed with gamma: ${light} -> ${lightAfter}`);

    // Default puts the labels back.
    await clickControl(page, kDefault);
    await expectLabel(page, kGamma, "1.00");
    await expectLabel(page, kContrast, "30");
    await expectLabel(page, kRed, "1.16");
    await expectLabel(page, kGreen, "1.00");
    await expectLabel(page, kBlue, "1.50");

    // One Push WB with frames flowing: the labels show the measured gains.
    await clickControl(page, kOnePushWb);
    const gains = [await label(page, kRed), await label(page, kGreen), await label(page, kBlue)];
    assert.notDeepEqual(gains, ["1.16", "1.00", "1.50"], "white balance measured");
    for (const gain of gains) assert.match(gain, /^\d+\.\d\d$/);

    // A click on nothing and malformed input change nothing and are answered.
    const nothing = await postInput(page, JSON.stringify({ action: "click", x: -100000, y: -100000 }));
    assert.equal(nothing.status, 200);
    assert.equal(nothing.answer.input.delivered, false);
    for (const bad of ["{", "[]", '{"action":"jump","x":1,"y":2}', '{"action":"down","x":"1","y":2}']) {
      const answer = await postInput(page, bad);
      assert.equal(answer.status, 400, bad);
      assert.equal(typeof answer.answer.error, "string", bad);
    }
    assert.deepEqual([await label(page, kRed), await label(page, kGreen), await label(page, kBlue)], gains);

    mkdirSync(outputFolder, { recursive: true });
    const screenshot = path.join(outputFolder, "setup-en.png");
    await page.screenshot({ path: screenshot, fullPage: true });
    console.log(`screenshot: ${screenshot}`);

    // OK on the setup page's frame (the one holding Default; the pin's frame
    // has an OK of its own) ends the tool.
    const inside = (outer, inner) =>
      inner.x >= outer.x && inner.y >= outer.y &&
      inner.x + inner.width <= outer.x + outer.width && inner.y + inner.height <= outer.y + outer.height;
    const defaultBox = await page.locator(`.window[data-id="${kDefault}"]`).boundingBox();
    let frameBox = null;
    for (const frame of await page.locator(".window.dialog.top").all()) {
      const candidate = await frame.boundingBox();
      if (candidate && inside(candidate, defaultBox)) frameBox = candidate;
    }
    assert.ok(frameBox, "the setup page's frame is drawn");
    let box = null;
    for (const button of await page.locator(".window.push", { hasText: /^OK$/ }).all()) {
      const candidate = await button.boundingBox();
      if (candidate && inside(frameBox, candidate)) box = candidate;
    }
    assert.ok(box, "the setup frame's OK button is drawn");
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
    const { code } = await setup.exited;
    assert.equal(code, 0, `tm350 setup ended with ${code}: ${setup.output.join("")}`);
    await page.close();
  } finally {
    setup.cleanUp();
  }
}

async function checkChinese(browser) {
  const setup = await startSetup("zh-CN");
  try {
    const page = await browser.newPage({ viewport: { width: 1800, height: 1000 } });
    await page.goto(setup.address);
    await expectLabel(page, kGamma, "1.00");
    for (const text of ["伽玛", "对比度", "曝光控制", "手动白平衡", "一次白平衡", "默认"])
      assert.ok(await page.locator(".window", { hasText: text }).count() > 0, `${text} is drawn`);
    const screenshot = path.join(outputFolder, "setup-zh-CN.png");
    await page.screenshot({ path: screenshot, fullPage: true });
    console.log(`screenshot: ${screenshot}`);
    await page.close();
    // Ctrl-C closes both frames and ends the tool as an interrupted command.
    setup.child.kill("SIGINT");
    const { code } = await setup.exited;
    assert.equal(code, 130, `tm350 setup ended with ${code}: ${setup.output.join("")}`);
  } finally {
    setup.cleanUp();
  }
}

const browser = await chromium.launch({
  executablePath: chromiumPath,
  headless: true,
  // Root in a container has no user namespace for the sandbox.
  args: process.getuid && process.getuid() === 0 ? ["--no-sandbox"] : [],
});
try {
  await checkEnglish(browser);
  await checkChinese(browser);
  console.log("browser test passed");
} finally {
  await browser.close();
}
