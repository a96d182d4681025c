// Runs Khronos' glTF-Validator on every .glb file named, and prints one line
// a file: its name, then the numbers of errors, warnings, infos and hints,
// then each message of severity error or warning. Exits 1 when any file has
// an error or a warning, 2 when the validator cannot be loaded.
//   node gltf_validate.js NODE_MODULES_FOLDER FILE.glb...
'use strict';
const fs = require('fs');
const path = require('path');

let validator;
try {
    validator = require(path.resolve(process.argv[2], 'gltf-validator'));
} catch (e) {
    console.log('cannot load gltf-validator from ' + process.argv[2] + ': ' + e.message);
    process.exit(2);
}

async function main() {
    let bad = 0;
    for (const file of process.argv.slice(3)) {
        const bytes = new Uint8Array(fs.readFileSync(file));
        const report = await validator.validateBytes(bytes, {maxIssues: 0, uri: path.basename(file)});
        const n = report.issues;
        console.log(`${path.basename(file)} errors=${n.numErrors} warnings=${n.numWarnings} ` +
                    `infos=${n.numInfos} hints=${n.numHints}`);
        for (const m of n.messages) {
            if (m.severity <= 1 || process.env.GLTF_VALIDATE_ALL) {
                console.log(`  ${m.severity} ${m.code} ${m.pointer || ''} ${m.message}`);
            }
        }
        if (n.numErrors > 0 || n.numWarnings > 0) {
            ++bad;
        }
    }
    process.exit(bad > 0 ? 1 : 0);
}
main().catch(e => { console.log('validator failed: ' + e); process.exit(2); });
