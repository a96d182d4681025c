// Loads .glb files written by meshfold --to-gltf with three.js's own
// GLTFLoader in node, and checks what three.js makes of them:
//   - one three.js mesh a primitive, each with the primitive's vertex and
//     triangle counts, and as many triangles in all as the data file NAME_d.3d
//     beside the file has;
//   - every material with a baseColorTexture has a map whose image has the
//     size of its PNG and, when the material names the texture file of its
//     import line, the size of that PCX or BMP in the package (the first
//     folder of the file's and the three above it that holds it);
//   - alphaTest for alphaMode MASK, transparent for BLEND, MeshBasicMaterial
//     for KHR_materials_unlit, the sampler's filters on the map.
// A browser decodes the embedded PNGs with fetch and createImageBitmap; node
// has fetch but not blob: URLs nor createImageBitmap, so this script gives
// both, decoding with pngjs. Prints one line a file; exits 1 when any file
// fails, or when the files after --textures (exports of real packages) show
// no texture at all; 2 when three.js or pngjs cannot be loaded.
//   node three_check.mjs NODE_MODULES_FOLDER FILE.glb... [--textures FILE.glb...]
import fs from 'node:fs';
import path from 'node:path';
import {resolveObjectURL} from 'node:buffer';
import {createRequire} from 'node:module';
import {pathToFileURL} from 'node:url';

const modules = path.resolve(process.argv[2]);
let GLTFLoader, PNG;
try {
    ({GLTFLoader} = await import(
        pathToFileURL(path.join(modules, 'three/examples/jsm/loaders/GLTFLoader.js')).href));
    ({PNG} = createRequire(path.join(modules, 'noop.js'))('pngjs'));
} catch (e) {
    console.log('cannot load three or pngjs from ' + modules + ': ' + e.message);
    process.exit(2);
}

// What a browser gives the loader for an image inside the file.
globalThis.self ??= globalThis;
const nodeFetch = globalThis.fetch;
globalThis.fetch = async (url, options) => {
    if (String(url).startsWith('blob:')) {
        const blob = resolveObjectURL(String(url));
        if (!blob) {
            throw new Error('no blob at ' + url);
        }
        return new Response(blob);
    }
    return nodeFetch(url, options);
};
let decoded = 0;
globalThis.createImageBitmap = async (blob) => {
    const png = PNG.sync.read(Buffer.from(await blob.arrayBuffer()));
    ++decoded;
    return {width: png.width, height: png.height, data: png.data, close() {}};
};

// The GL sampler codes and three.js's filter constants (src/constants.js).
const filters = {9728: 1003, 9729: 1006, 9984: 1004, 9985: 1007, 9986: 1005, 9987: 1008};
const defaultMag = 1006, defaultMin = 1008; // Linear, LinearMipmapLinear

function glbParts(bytes) {
    const length = bytes.readUInt32LE(12);
    const json = JSON.parse(bytes.subarray(20, 20 + length).toString('utf8'));
    return {json, bin: bytes.subarray(20 + length + 8)};
}

function pngSize(gltf, bin, imageIndex) {
    const view = gltf.bufferViews[gltf.images[imageIndex].bufferView];
    const at = view.byteOffset || 0;
    return [bin.readUInt32BE(at + 16), bin.readUInt32BE(at + 20)]; // the IHDR chunk
}

// `relative` (an import line's FILE=, backslashes) under `folder`, each part
// matched without regard to case as the game does; null when absent.
function findFile(folder, relative) {
    let at = folder;
    for (const part of relative.split(/[\\/]/).filter(p => p && p !== '.')) {
        const entries = fs.existsSync(at) && fs.statSync(at).isDirectory() ? fs.readdirSync(at) : [];
        const match = entries.find(e => e.toLowerCase() === part.toLowerCase());
        if (match === undefined) {
            return null;
        }
        at = path.join(at, match);
    }
    return at;
}

// Width and height from a PCX or BMP header.
function sourceSize(file) {
    const b = fs.readFileSync(file);
    if (b.length >= 26 && b.toString('latin1', 0, 2) === 'BM') {
        return [b.readInt32LE(18), Math.abs(b.readInt32LE(22))];
    }
    if (b.length >= 128 && b[0] === 0x0a) {
        return [b.readUInt16LE(8) - b.readUInt16LE(4) + 1, b.readUInt16LE(10) - b.readUInt16LE(6) + 1];
    }
    return null;
}

// The primitives of the default scene's nodes, depth first, in the order
// three.js adds their meshes.
function primitivesInOrder(gltf) {
    const out = [];
    const visit = (n) => {
        const node = gltf.nodes[n];
        if (node.mesh !== undefined) {
            out.push(...gltf.meshes[node.mesh].primitives);
        }
        (node.children || []).forEach(visit);
    };
    gltf.scenes[gltf.scene || 0].nodes.forEach(visit);
    return out;
}

function checkMaterial(file, gltf, bin, index, material, counts) {
    const def = gltf.materials[index];
    const name = def.name;
    const unlit = Boolean(def.extensions && def.extensions.KHR_materials_unlit);
    if (unlit !== (material.isMeshBasicMaterial === true)) {
        return `material ${name} is a ${material.type}`;
    }
    const mode = def.alphaMode || 'OPAQUE';
    const alphaTest = mode === 'MASK' ? (def.alphaCutoff ?? 0.5) : 0;
    if (material.alphaTest !== alphaTest || material.transparent !== (mode === 'BLEND')) {
        return `material ${name} has alphaTest ${material.alphaTest} transparent ` +
               `${material.transparent} for alphaMode ${mode}`;
    }
    const texture = def.pbrMetallicRoughness && def.pbrMetallicRoughness.baseColorTexture;
    if (texture === undefined) {
        return null;
    }
    const map = material.map;
    if (!map || !map.image) {
        return `material ${name} has no map`;
    }
    const textureDef = gltf.textures[texture.index];
    const [width, height] = pngSize(gltf, bin, textureDef.source);
    if (map.image.width !== width || map.image.height !== height ||
        map.image.data.length !== width * height * 4) {
        return `material ${name} shows an image of ${map.image.width}x${map.image.height}, ` +
               `not the PNG's ${width}x${height}`;
    }
    const extras = def.extras && def.extras.meshfold;
    if (extras && extras.textureFile) {
        let source = null;
        for (let dir = path.dirname(file), up = 0; up <= 3 && !source; ++up, dir = path.dirname(dir)) {
            source = findFile(dir, extras.textureFile);
        }
        const size = source && sourceSize(source);
        if (!size) {
            return `material ${name}: no PCX or BMP ${extras.textureFile} in the package`;
        }
        if (size[0] !== width || size[1] !== height) {
            return `material ${name} shows ${width}x${height} of ${extras.textureFile}, ` +
                   `which is ${size[0]}x${size[1]}`;
        }
        ++counts.sources;
    }
    const sampler = textureDef.sampler === undefined ? {} : gltf.samplers[textureDef.sampler];
    const mag = filters[sampler.magFilter] ?? defaultMag;
    const min = filters[sampler.minFilter] ?? defaultMin;
    if (map.magFilter !== mag || map.minFilter !== min) {
        return `material ${name} filters ${map.magFilter}/${map.minFilter}, not ${mag}/${min}`;
    }
    ++counts.textures;
    return null;
}

async function check(file, counts) {
    const bytes = fs.readFileSync(file);
    const {json: gltf, bin} = glbParts(bytes);
    const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
    const loaded = await new GLTFLoader().parseAsync(buffer, '');
    const meshes = [];
    loaded.scene.traverse(o => { if (o.isMesh) meshes.push(o); });
    const primitives = primitivesInOrder(gltf);
    if (meshes.length !== primitives.length) {
        return `${meshes.length} meshes for ${primitives.length} primitives`;
    }
    let triangles = 0;
    for (let i = 0; i < meshes.length; ++i) {
        const geometry = meshes[i].geometry;
        const p = primitives[i];
        const vertices = gltf.accessors[p.attributes.POSITION].count;
        const tris = gltf.accessors[p.indices].count / 3;
        const shownTris = geometry.index ? geometry.index.count / 3 : 0;
        if (geometry.attributes.position.count !== vertices || shownTris !== tris) {
            return `mesh ${i} has ${geometry.attributes.position.count} vertices and ` +
                   `${shownTris} triangles, not ${vertices} and ${tris}`;
        }
        triangles += tris;
        if (p.material !== undefined) {
            const why = checkMaterial(file, gltf, bin, p.material, meshes[i].material, counts);
            if (why) {
                return why;
            }
        }
    }
    const data = file.replace(/\.glb$/, '_d.3d');
    const polys = fs.readFileSync(data).readUInt16LE(0);
    if (triangles !== polys) {
        return `${triangles} triangles, but ${path.basename(data)} has ${polys}`;
    }
    counts.meshes += meshes.length;
    return null;
}

let bad = 0;
const counts = {meshes: 0, textures: 0, sources: 0};
const args = process.argv.slice(3);
const files = args.filter(a => a !== '--textures');
for (const file of files) {
    const before = counts.textures;
    let why;
    try {
        why = await check(file, counts);
    } catch (e) {
        why = 'three.js cannot load it: ' + (e && e.message || e);
    }
    console.log(`${path.basename(file, '.glb')}: ` +
                (why || `ok, ${counts.textures - before} textured materials`));
    bad += why ? 1 : 0;
}
console.log(`${files.length} files loaded by three.js: ${counts.meshes} meshes, ${counts.textures} ` +
            `textures (${decoded} PNGs decoded), ${counts.sources} sizes matched to the package's own files`);
if (args.includes('--textures') && counts.textures === 0) {
    console.log('no textured material in the exports of the packages');
    ++bad;
}
process.exit(bad > 0 ? 1 : 0);
