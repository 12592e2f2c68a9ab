#!/usr/bin/env node
'use strict';
// Stand-in for the bridge's command-line tool. Test knobs: <stateDir>/sim-knobs.json.
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const c = require('../lib/common');
const { version } = require('../package.json');

const args = process.argv.slice(2);
const word = args[0] ?? '';
const dir = c.stateDir();
const p = c.paths(dir);

const GARBAGE = 'Segmentation fault?? %%% <<not json>> {{{ ~~~\n\x1b[31m!!!\x1b[0m\n';
const INVALID_UTF8 = Buffer.from([0xff, 0xfe, 0xfd, 0x80, 0xc3, 0x28, 0x0a]);

function xmlEscape(text) {
    return String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function writeLaunchAgent() {
    const program = [process.execPath, path.join(__dirname, '..', 'lib', 'daemon.js'), dir];
    const str = (s) => `<string>${xmlEscape(s)}</string>`;
    c.writeFileAtomic(p.plist, `<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Label</key>${str(c.LABEL)}
  <key>ProgramArguments</key>
  <array>${program.map(str).join('')}</array>
  <key>EnvironmentVariables</key>
  <dict>
    <key>PIVRA_DEVICE_STATE_DIR</key>${str(dir)}
  </dict>
  <key>RunAtLoad</key><true/>
  <key>StandardOutPath</key>${str(p.stdoutLog)}
  <key>StandardErrorPath</key>${str(p.stderrLog)}
</dict>
</plist>
`);
}

async function killDaemon() {
    const pid = c.readPid(dir);
    if (c.isAlive(pid)) {
        for (const [signal, waitMs] of [['SIGTERM', 3000], ['SIGKILL', 1000]]) {
            try {
                process.kill(pid, signal);
            } catch {}
            const deadline = Date.now() + waitMs;
            while (c.isAlive(pid) && Date.now() < deadline) await c.sleep(25);
            if (!c.isAlive(pid)) break;
        }
    }
    fs.rmSync(p.pid, { force: true });
}

function logLine(text) {
    fs.mkdirSync(p.logs, { recursive: true });
    fs.appendFileSync(p.stdoutLog, `${c.now()} [pivra] ${text}\n`);
}

const commands = {
    '--version': (k) => (k.versionFormat === 'json' ? JSON.stringify(version) : version) + '\n',

    status(k) {
        const pid = c.readPid(dir);
        const loaded = c.isAlive(pid);
        const snapshot = {
            currentVersion: version, label: c.LABEL, platform: process.platform,
            installed: fs.existsSync(p.plist), launchdLoaded: loaded,
        };
        if (loaded) snapshot.launchdPid = pid;
        const files = { daemonConfig: p.config, bridgeStatus: p.status, pairingSession: p.session };
        for (const [key, file] of Object.entries(files)) {
            const value = c.readJson(file);
            if (value !== undefined) snapshot[key] = value;
        }
        snapshot.stdoutLogPath = p.stdoutLog;
        snapshot.stderrLogPath = p.stderrLog;
        const pad = c.numberKnob(c.knobFor(k, 'padBytes', 'status'), 0);
        const format = k.statusFormat ?? (args.includes('--json') ? 'json' : 'text');
        if (format === 'json') {
            if (pad > 0) snapshot.padding = 'x'.repeat(pad);
            return JSON.stringify(snapshot, null, 2) + '\n';
        }
        const yesNo = (b) => (b ? 'yes' : 'no');
        const lines = [
            ['service label', c.LABEL], ['version', version], ['installed', yesNo(snapshot.installed)],
            ['launchd loaded', yesNo(loaded)], ...(loaded ? [['pid', pid]] : []),
            ['connection', snapshot.bridgeStatus?.connectionStatus ?? 'unknown'],
            ['relay', snapshot.daemonConfig?.relayUrl ?? 'not configured'],
            ['stdout log', p.stdoutLog], ['stderr log', p.stderrLog],
            ...(pad > 0 ? [['padding', 'x'.repeat(pad)]] : []),
        ].map(([key, value]) => `[pivra] ${key}: ${String(value).replace(/[\r\n]+/g, ' ')}`);
        const extra = Array.isArray(k.statusExtraLines) ? k.statusExtraLines.map(String) : [];
        return [...lines, ...extra].join('\n') + '\n';
    },

    async start() {
        await killDaemon();
        const old = c.readJson(p.config);
        const override = (process.env.PIVRA_RELAY ?? '').trim();
        const relayUrl = override || (typeof old?.relayUrl === 'string' ? old.relayUrl : c.DEFAULT_RELAY);
        c.writeJsonAtomic(p.config, {
            relayUrl, pushServiceUrl: 'http://127.0.0.1:9001/push',
            codexEndpoint: 'ws://127.0.0.1:9002/codex', refreshEnabled: true,
        });
        writeLaunchAgent();
        fs.mkdirSync(p.logs, { recursive: true });
        const out = fs.openSync(p.stdoutLog, 'a');
        const err = fs.openSync(p.stderrLog, 'a');
        const child = spawn(process.execPath, [path.join(__dirname, '..', 'lib', 'daemon.js'), dir], {
            detached: true, stdio: ['ignore', out, err],
        });
        child.unref();
        fs.closeSync(out);
        fs.closeSync(err);
        c.writeFileAtomic(p.pid, `${child.pid}\n`);
        return `[pivra] Bridge started (pid ${child.pid}).\n`;
    },

    async stop() {
        await killDaemon();
        c.writeJsonAtomic(p.status, { state: 'stopped', connectionStatus: 'disconnected', updatedAt: c.now() });
        return '[pivra] Bridge stopped.\n';
    },

    resume() {
        logLine('resume requested for the last thread');
        return '[pivra] Resumed the last thread.\n';
    },

    'reset-pairing'() {
        fs.rmSync(p.session, { force: true });
        const pid = c.readPid(dir);
        // Until the daemon has written its status it has no handler yet, and node would take
        // SIGUSR1 as a request to open its inspector; a starting daemon writes a session anyway.
        if (c.isAlive(pid) && c.readJson(p.status)?.pid === pid) process.kill(pid, 'SIGUSR1');
        return '[pivra] Pairing reset.\n';
    },
};

function filler(bytes) {
    const line = '.'.repeat(79) + '\n';
    return line.repeat(Math.floor(bytes / 80)) + '.'.repeat(bytes % 80);
}

async function main() {
    fs.mkdirSync(dir, { recursive: true });
    const call = { time: c.now(), argv: args, relay: process.env.PIVRA_RELAY ?? null };
    fs.appendFileSync(p.calls, JSON.stringify(call) + '\n');

    let k = c.knobs(dir);
    const hang = c.numberKnob(c.knobFor(k, 'hangMs', word), 0);
    if (hang > 0) {
        await c.sleep(hang);
        k = c.knobs(dir);
    }
    const fail = c.knobFor(k, 'fail', word);
    if (fail !== undefined && fail !== null && fail !== false) {
        const fallback = word === 'resume' ? 'No thread to resume.' : `Simulated failure of ${word}.`;
        const f = typeof fail === 'object' ? fail : { message: fail === true ? fallback : String(fail) };
        const stream = f.stream ?? 'stderr';
        if (stream !== 'none') process[stream === 'stdout' ? 'stdout' : 'stderr'].write(`${f.message ?? fallback}\n`);
        process.exitCode = Number.isInteger(f.exitCode) ? f.exitCode : 1;
        return;
    }
    const command = Object.hasOwn(commands, word) ? commands[word] : undefined;
    if (!command) {
        process.stderr.write(word ? `Unknown command: ${word}\n` : 'Usage: pivra <command>\n');
        process.exitCode = 2;
        return;
    }
    let out = await command(k);
    if (c.knobFor(k, 'invalidUtf8', word)) out = INVALID_UTF8;
    else if (c.knobFor(k, 'garbage', word)) out = GARBAGE;
    else if (word !== 'status') out += filler(c.numberKnob(c.knobFor(k, 'padBytes', word), 0));
    process.stdout.write(out);
    if (typeof k.stderrWarning === 'string') process.stderr.write(`${k.stderrWarning}\n`);
}

main().catch((error) => {
    process.stderr.write(`${error?.message ?? error}\n`);
    process.exitCode = 1;
});
