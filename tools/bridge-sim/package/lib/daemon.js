'use strict';
// Simulated bridge daemon: `node daemon.js <stateDir>`, started detached by `pivra start`.
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const c = require('./common');

const dir = path.resolve(process.argv[2] || c.stateDir());
const p = c.paths(dir);
const bornAt = Date.now();
const dirIdentity = identity(dir);
let current = { state: 'starting', connectionStatus: 'connecting' };
let lastStatusWrite = 0;
let lastCreatedMs = -Infinity;

function identity(file) {
    try {
        const st = fs.statSync(file);
        return `${st.dev}:${st.ino}`;
    } catch {
        return undefined;
    }
}

function log(text) {
    console.log(`${c.now()} [bridge] ${text}`);
}

function setStatus(state, connectionStatus) {
    current = { state, connectionStatus };
    c.writeJsonAtomic(p.status, { ...current, pid: process.pid, updatedAt: c.now() });
    lastStatusWrite = Date.now();
}

function device() {
    const known = c.readJson(p.device);
    if (typeof known?.macDeviceId === 'string' && typeof known?.macIdentityPublicKey === 'string') return known;
    const fresh = {
        macDeviceId: crypto.randomUUID().toUpperCase(),
        macIdentityPublicKey: crypto.randomBytes(32).toString('base64'),
    };
    c.writeJsonAtomic(p.device, fresh);
    return fresh;
}

// Consumers tell a fresh session from the old one by createdAt alone, so it must move forward.
function writeSession() {
    const previous = Date.parse(c.readJson(p.session)?.createdAt);
    const createdMs = Math.max(Date.now(), lastCreatedMs + 1, Number.isFinite(previous) ? previous + 1 : 0);
    lastCreatedMs = createdMs;
    const k = c.knobs(dir);
    const relay = c.readJson(p.config)?.relayUrl;
    const { macDeviceId, macIdentityPublicKey } = device();
    c.writeJsonAtomic(p.session, {
        createdAt: new Date(createdMs).toISOString(),
        pairingPayload: {
            v: 1, relay: typeof relay === 'string' ? relay : c.DEFAULT_RELAY,
            sessionId: crypto.randomUUID(), macDeviceId, macIdentityPublicKey,
            expiresAt: createdMs + c.numberKnob(k.pairingLifetimeMs, 600000),
        },
    });
    log(`new pairing session, created ${new Date(createdMs).toISOString()}`);
}

function connect() {
    const k = c.knobs(dir);
    if (k.stayConnecting) {
        setTimeout(connect, 200);
        return;
    }
    setStatus('running', 'connected');
    log('connected to relay');
    if (k.freshSession !== false) writeSession();
}

function quit(reason, writeStopped) {
    log(reason);
    if (writeStopped) {
        try {
            setStatus('stopped', 'disconnected');
            if (c.readPid(dir) === process.pid) fs.rmSync(p.pid, { force: true });
        } catch {}
    }
    process.exit(0);
}

process.on('uncaughtException', (error) => {
    console.error(`${c.now()} [bridge] ${error.stack ?? error}`);
    process.exit(1);
});
process.on('SIGTERM', () => quit('stopping on request', true));
process.on('SIGINT', () => quit('interrupted', true));
process.on('SIGUSR1', () => {
    if (current.connectionStatus === 'connected' && c.knobs(dir).freshSession !== false) writeSession();
});

log(`starting, state directory ${dir}`);
setStatus('starting', 'connecting');
setTimeout(connect, c.numberKnob(c.knobs(dir).connectDelayMs, 300));

// Test sandboxes are deleted wholesale: never outlive them, and never run for ever.
setInterval(() => {
    if (identity(dir) !== dirIdentity) quit('state directory is gone', false);
    if (Date.now() - bornAt > c.numberKnob(c.knobs(dir).maxLifetimeMs, 30 * 60 * 1000)) {
        quit('maximum lifetime reached', true);
    }
    if (Date.now() - lastStatusWrite >= 5000) setStatus(current.state, current.connectionStatus);
}, 1000);
