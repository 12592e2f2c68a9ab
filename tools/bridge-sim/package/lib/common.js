'use strict';
// State-directory layout and helpers shared by the tool and its daemon.
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');

const LABEL = 'com.pivra.bridge';
const DEFAULT_RELAY = 'ws://127.0.0.1:9000/relay';

function homeDir() {
    return process.env.HOME || os.homedir();
}

function stateDir() {
    const configured = (process.env.PIVRA_DEVICE_STATE_DIR || '').trim();
    return path.resolve(configured || path.join(homeDir(), '.pivra'));
}

function paths(dir) {
    const logs = path.join(dir, 'logs');
    return {
        config: path.join(dir, 'daemon-config.json'),
        status: path.join(dir, 'bridge-status.json'),
        session: path.join(dir, 'pairing-session.json'),
        device: path.join(dir, 'device.json'),
        pid: path.join(dir, 'bridge.pid'),
        knobs: path.join(dir, 'sim-knobs.json'),
        calls: path.join(dir, 'sim-calls.log'),
        logs,
        stdoutLog: path.join(logs, 'bridge.stdout.log'),
        stderrLog: path.join(logs, 'bridge.stderr.log'),
        plist: path.join(homeDir(), 'Library', 'LaunchAgents', `${LABEL}.plist`),
    };
}

// Only ordinary files of a sane size: tests put FIFOs, devices and huge files where state files
// go to see how the app copes, and the stand-in must not hang on them first.
function readJson(file) {
    try {
        const st = fs.statSync(file);
        if (!st.isFile() || st.size > 4 * 1024 * 1024) return undefined;
        return JSON.parse(fs.readFileSync(file, 'utf8'));
    } catch {
        return undefined;
    }
}

// Readers poll these files while they are rewritten: never let them see half a file.
function writeFileAtomic(file, text) {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    const tmp = `${file}.${process.pid}.${crypto.randomBytes(4).toString('hex')}.tmp`;
    fs.writeFileSync(tmp, text);
    fs.renameSync(tmp, file);
}

function writeJsonAtomic(file, value) {
    writeFileAtomic(file, JSON.stringify(value, null, 2) + '\n');
}

function knobs(dir) {
    const k = readJson(paths(dir).knobs);
    return k && typeof k === 'object' && !Array.isArray(k) ? k : {};
}

// Per-command knobs are objects keyed by the command word ("status", "--version", ...).
function knobFor(k, name, word) {
    const table = k[name];
    return table && typeof table === 'object' ? table[word] : undefined;
}

function numberKnob(value, fallback) {
    return typeof value === 'number' && Number.isFinite(value) ? value : fallback;
}

function readPid(dir) {
    try {
        const pid = Number.parseInt(fs.readFileSync(paths(dir).pid, 'utf8'), 10);
        return pid > 0 ? pid : undefined;
    } catch {
        return undefined;
    }
}

// A recycled pid or an unreaped zombie must not count as a running bridge.
function isAlive(pid) {
    if (!pid) return false;
    try {
        process.kill(pid, 0);
    } catch (e) {
        if (e.code !== 'EPERM') return false;
    }
    try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
        if (stat[stat.lastIndexOf(')') + 2] === 'Z') return false;
        return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('daemon.js');
    } catch {
        return !fs.existsSync('/proc/self');
    }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const now = () => new Date().toISOString();

module.exports = {
    LABEL, DEFAULT_RELAY, homeDir, stateDir, paths, readJson, writeFileAtomic, writeJsonAtomic,
    knobs, knobFor, numberKnob, readPid, isAlive, sleep, now,
};
