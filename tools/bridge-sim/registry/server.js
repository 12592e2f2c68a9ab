#!/usr/bin/env node
'use strict';
// Loopback npm registry that serves the stand-in "pivra" package in several versions, so that
// real `npm view` and `npm install -g` work without any network.
//   node server.js --package-dir DIR --versions 0.4.2,0.5.0 [--port N] [--port-file F] [--fail-view]
// SIGUSR2 toggles the failure mode (every request answers 500).
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');

const argv = process.argv.slice(2);
const option = (name, fallback) => (argv.includes(name) ? argv[argv.indexOf(name) + 1] : fallback);
const packageDir = path.resolve(option('--package-dir', path.join(__dirname, '..', 'package')));
const versions = option('--versions', '0.4.2,0.5.0').split(',').map((v) => v.trim()).filter(Boolean);
const portFile = option('--port-file');
let failing = argv.includes('--fail-view');

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pivra-registry-'));
const cleanUp = () => fs.rmSync(work, { recursive: true, force: true });

// npm pack must not touch the real home, cache or user config, nor inherit a caller's npm settings.
const packEnv = Object.fromEntries(Object.entries(process.env).filter(([key]) => !/^npm_config_/i.test(key)));
Object.assign(packEnv, {
    HOME: work, npm_config_cache: path.join(work, 'cache'), npm_config_userconfig: path.join(work, 'npmrc'),
    npm_config_update_notifier: 'false', npm_config_fund: 'false', npm_config_audit: 'false',
});

const compareVersions = (a, b) => {
    const [x, y] = [a, b].map((v) => v.split(/[.-]/).map((n) => Number.parseInt(n, 10) || 0));
    for (let i = 0; i < Math.max(x.length, y.length); i++) if ((x[i] ?? 0) !== (y[i] ?? 0)) return (x[i] ?? 0) - (y[i] ?? 0);
    return 0;
};

let name;
const releases = new Map();
try {
    for (const version of versions) {
        const source = path.join(work, `src-${version}`);
        fs.cpSync(packageDir, source, { recursive: true, filter: (file) => !file.includes('node_modules') });
        const manifest = JSON.parse(fs.readFileSync(path.join(source, 'package.json'), 'utf8'));
        manifest.version = version;
        fs.writeFileSync(path.join(source, 'package.json'), JSON.stringify(manifest, null, 2) + '\n');
        const packed = JSON.parse(execFileSync('npm', ['pack', '--json', '--ignore-scripts', '--pack-destination', work], {
            cwd: source, env: packEnv, stdio: ['ignore', 'pipe', 'inherit'],
        }))[0];
        const data = fs.readFileSync(path.join(work, packed.filename));
        name = manifest.name;
        releases.set(version, {
            manifest, data,
            shasum: crypto.createHash('sha1').update(data).digest('hex'),
            integrity: 'sha512-' + crypto.createHash('sha512').update(data).digest('base64'),
        });
    }
} catch (error) {
    cleanUp();
    throw error;
}
const latest = [...releases.keys()].sort(compareVersions).at(-1);

function packument(base) {
    const doc = { _id: name, name, 'dist-tags': { latest }, versions: {} };
    for (const [version, r] of releases) {
        doc.versions[version] = {
            _id: `${name}@${version}`, name, version, bin: r.manifest.bin, description: r.manifest.description,
            dist: { tarball: `${base}/${name}/-/${name}-${version}.tgz`, shasum: r.shasum, integrity: r.integrity },
        };
    }
    return doc;
}

function send(res, status, body, headers = {}) {
    const data = Buffer.isBuffer(body) ? body : Buffer.from(JSON.stringify(body));
    res.writeHead(status, { 'content-type': 'application/json', 'content-length': data.length, ...headers });
    res.end(data);
}

const server = http.createServer((req, res) => {
    const pathname = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
    const base = `http://127.0.0.1:${server.address().port}`;
    res.on('finish', () => process.stderr.write(`${req.method} ${req.url} ${res.statusCode}\n`));
    if (failing) return send(res, 500, { error: 'simulated registry failure' });
    if (req.method !== 'GET' && req.method !== 'HEAD') return send(res, 404, { error: 'Not found' });
    // Fresh answers every time, so that a test can change the registry between two npm calls.
    if (pathname === `/${name}`) return send(res, 200, packument(base), { 'cache-control': 'no-store' });
    const tarball = pathname.match(/^\/([^/]+)\/-\/\1-(.+)\.tgz$/);
    const release = tarball && tarball[1] === name && releases.get(tarball[2]);
    if (release) return send(res, 200, release.data, { 'content-type': 'application/octet-stream' });
    return send(res, 404, { error: 'Not found' });
});

server.listen(Number.parseInt(option('--port', '0'), 10) || 0, '127.0.0.1', () => {
    const { port } = server.address();
    if (portFile) {
        fs.writeFileSync(`${portFile}.tmp`, `${port}\n`);
        fs.renameSync(`${portFile}.tmp`, portFile);
    }
    process.stdout.write(`listening ${port}\n`);
});
process.on('SIGUSR2', () => {
    failing = !failing;
    process.stderr.write(`failure mode ${failing ? 'on' : 'off'}\n`);
});
for (const signal of ['SIGTERM', 'SIGINT']) {
    process.on(signal, () => {
        server.close();
        cleanUp();
        process.exit(0);
    });
}
process.on('exit', cleanUp);
