// hmap's 3D page: the heightmaps that hmap -p wrote into this page, drawn
// as terrain with WebGL2. Written by hand, with nothing fetched: the data
// is in the page (see src/view/page.cpp for its form), the shaders too.
"use strict";

(function () {
    // Milliseconds from the start of the page's loading: its script's start,
    // the first heightmap unpacked, the first frame on the screen.
    const timings = { script: Math.round(performance.now()) };
    const body = document.body;
    const message = document.getElementById("message");

    function stop(state, text) {
        message.textContent = text;
        message.hidden = false;
        body.dataset.state = state;
    }

    function failed(error) {
        stop("error", "The map could not be shown: " + (error && error.message ? error.message : error));
    }

    window.addEventListener("error", (event) => failed(event.error || event.message));
    window.addEventListener("unhandledrejection", (event) => failed(event.reason));

    const metaElement = document.getElementById("hmap-meta");
    if (metaElement === null) {
        stop("error", "This page holds no map: hmap -p IN OUT.html writes one.");
        return;
    }
    const meta = JSON.parse(metaElement.textContent);
    const canvas = document.getElementById("view");
    const gl = canvas.getContext("webgl2", { antialias: true, alpha: false });
    if (gl === null) {
        stop("unsupported", "This browser has no WebGL2, which the 3D view needs. Open the page in a current " +
            "Firefox, Chrome, Edge or Safari with graphics acceleration on, or draw the map as a picture: " +
            "hmap -p IN OUT.png.");
        return;
    }
    if (typeof DecompressionStream === "undefined") {
        stop("unsupported", "This browser cannot unpack the map (it has no DecompressionStream). Open the page " +
            "in a current Firefox, Chrome, Edge or Safari.");
        return;
    }

    // ---- the heights ----

    function bytesOfBase64(text) {
        if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text);
        const binary = atob(text);
        const bytes = new Uint8Array(binary.length);
        for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
        return bytes;
    }

    async function inflate(bytes) {
        const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("deflate"));
        return new Uint8Array(await new Response(stream).arrayBuffer());
    }

    // A heightmap: its heights as samples of 16 bits above its lowest
    // (`unit` a sample: 1 unless its heights spread wider), and exactly:
    // the samples themselves, or `exact` when they cannot hold them.
    function makeLayer(info, values, exact) {
        const spread = info.highest - info.lowest;
        return {
            info: info,
            width: info.width,
            height: info.height,
            lowest: info.lowest,
            highest: info.highest,
            unit: spread < 65536 ? 1 : spread / 65535,
            values: values,
            exact: exact,
            heightAt(i) {
                return this.exact !== null ? this.exact[i] : this.lowest + this.values[i];
            },
        };
    }

    const layers = [];
    const decoding = [];

    // Each difference is a zigzagged number in `info.planes` bytes, one plane
    // after another: a height less the one above it (the first row less the
    // lowest), or less the reference layer's at the same pixel.
    async function decodeLayer(index) {
        if (decoding[index] !== undefined) return decoding[index];
        decoding[index] = (async () => {
            const info = meta.layers[index];
            const reference = info.reference >= 0 ? await decodeLayer(info.reference) : null;
            const planes = await inflate(bytesOfBase64(document.getElementById("hmap-layer-" + index).textContent));
            const width = info.width, height = info.height, count = width * height, k = info.planes;
            if (planes.length !== k * count) throw new Error("heightmap data of the wrong length");
            const spread = info.highest - info.lowest;
            const values = new Uint16Array(count);
            let exact = null;
            if (k <= 3 && spread < 65536 && (reference === null || reference.exact === null)) {
                // Every number fits 32-bit arithmetic.
                const p0 = planes.subarray(0, count);
                const p1 = k > 1 ? planes.subarray(count, 2 * count) : new Uint8Array(count);
                const p2 = k > 2 ? planes.subarray(2 * count, 3 * count) : new Uint8Array(count);
                const shift = reference !== null ? reference.lowest - info.lowest : 0;
                const above = reference !== null ? reference.values : null;
                for (let i = 0; i < count; ++i) {
                    const z = p0[i] | (p1[i] << 8) | (p2[i] << 16);
                    const d = (z >>> 1) ^ -(z & 1);
                    const before = above !== null ? shift + above[i] : i >= width ? values[i - width] : 0;
                    values[i] = before + d;
                }
            } else {
                exact = new Float64Array(count);
                const unit = spread < 65536 ? 1 : spread / 65535;
                for (let i = 0; i < count; ++i) {
                    let z = 0;
                    for (let j = k - 1; j >= 0; --j) z = z * 256 + planes[j * count + i];
                    const d = z % 2 === 1 ? -(z + 1) / 2 : z / 2;
                    const before = reference !== null ? reference.heightAt(i)
                        : i >= width ? exact[i - width] : info.lowest;
                    exact[i] = before + d;
                    values[i] = Math.round((exact[i] - info.lowest) / unit);
                }
                if (spread < 65536) exact = null;
            }
            layers[index] = makeLayer(info, values, exact);
            return layers[index];
        })();
        return decoding[index];
    }

    // ---- what is shown ----

    const compare = meta.layers.some((layer) => layer.stage === "after");
    const heightmaps = [...new Set(meta.layers.map((layer) => layer.heightmap))];
    const state = { heightmap: 1, stage: compare ? "after" : "", marks: true };

    function layerIndex(heightmap, stage) {
        return meta.layers.findIndex((layer) => layer.heightmap === heightmap && layer.stage === stage);
    }

    // The pixels the import changes on heightmap 1 or 2: a mask, their count.
    const changes = {};

    function findChanges(heightmap) {
        const before = layers[layerIndex(heightmap, "before")], after = layers[layerIndex(heightmap, "after")];
        if (before.width !== after.width || before.height !== after.height) return null;
        const count = before.width * before.height;
        const mask = new Uint8Array(count);
        let changed = 0;
        for (let i = 0; i < count; ++i) {
            if (before.heightAt(i) !== after.heightAt(i)) {
                mask[i] = 255;
                ++changed;
            }
        }
        return { mask: mask, count: changed, texture: null };
    }

    // ---- WebGL ----

    function shader(kind, id) {
        const s = gl.createShader(kind);
        gl.shaderSource(s, document.getElementById(id).textContent.trim());
        gl.compileShader(s);
        if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(id + ": " + gl.getShaderInfoLog(s));
        return s;
    }

    function program(vertex, fragment) {
        const p = gl.createProgram();
        gl.attachShader(p, shader(gl.VERTEX_SHADER, vertex));
        gl.attachShader(p, shader(gl.FRAGMENT_SHADER, fragment));
        gl.linkProgram(p);
        if (!gl.getProgramParameter(p, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(p));
        const uniforms = {};
        for (let i = 0; i < gl.getProgramParameter(p, gl.ACTIVE_UNIFORMS); ++i) {
            const name = gl.getActiveUniform(p, i).name;
            uniforms[name] = gl.getUniformLocation(p, name);
        }
        return { program: p, uniforms: uniforms };
    }

    const terrain = program("terrain.vert", "terrain.frag");
    const water = program("water.vert", "water.frag");

    // The tile: quads x quads quads, and its skirt along the four edges.
    const quads = 32;
    const tileMesh = (() => {
        const corners = [], indices = [];
        const side = quads + 1;
        for (let y = 0; y <= quads; ++y) for (let x = 0; x <= quads; ++x) corners.push(x, y, 0);
        for (let y = 0; y < quads; ++y) {
            for (let x = 0; x < quads; ++x) {
                const a = y * side + x;
                indices.push(a, a + side, a + 1, a + 1, a + side, a + side + 1);
            }
        }
        // Round the edge, each corner once on the way and a hanging copy of it.
        const edge = [];
        for (let x = 0; x < quads; ++x) edge.push([x, 0]);
        for (let y = 0; y < quads; ++y) edge.push([quads, y]);
        for (let x = quads; x > 0; --x) edge.push([x, quads]);
        for (let y = quads; y > 0; --y) edge.push([0, y]);
        const first = corners.length / 3;
        for (const [x, y] of edge) corners.push(x, y, 1);
        for (let i = 0; i < edge.length; ++i) {
            const j = (i + 1) % edge.length;
            const a = edge[i][1] * side + edge[i][0], b = edge[j][1] * side + edge[j][0];
            indices.push(a, first + i, b, b, first + i, first + j);
        }
        const vao = gl.createVertexArray();
        gl.bindVertexArray(vao);
        const cornerBuffer = gl.createBuffer();
        gl.bindBuffer(gl.ARRAY_BUFFER, cornerBuffer);
        gl.bufferData(gl.ARRAY_BUFFER, new Float32Array(corners), gl.STATIC_DRAW);
        gl.enableVertexAttribArray(0);
        gl.vertexAttribPointer(0, 3, gl.FLOAT, false, 0, 0);
        const indexBuffer = gl.createBuffer();
        gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, indexBuffer);
        gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, new Uint16Array(indices), gl.STATIC_DRAW);
        const tiles = gl.createBuffer();
        gl.bindBuffer(gl.ARRAY_BUFFER, tiles);
        gl.enableVertexAttribArray(1);
        gl.vertexAttribPointer(1, 3, gl.FLOAT, false, 0, 0);
        gl.vertexAttribDivisor(1, 1);
        gl.bindVertexArray(null);
        return { vao: vao, count: indices.length, tiles: tiles };
    })();

    const waterMesh = (() => {
        const vao = gl.createVertexArray();
        gl.bindVertexArray(vao);
        const buffer = gl.createBuffer();
        gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
        gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 1, -1, -1, 1, 1, 1]), gl.STATIC_DRAW);
        gl.enableVertexAttribArray(0);
        gl.vertexAttribPointer(0, 2, gl.FLOAT, false, 0, 0);
        gl.bindVertexArray(null);
        return vao;
    })();

    // -p's colours, 2050 of them, as a texture.
    const ramp = bytesOfBase64(meta.colours.ramp);
    const rampTexture = gl.createTexture();
    gl.bindTexture(gl.TEXTURE_2D, rampTexture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGB8, ramp.length / 3, 1, 0, gl.RGB, gl.UNSIGNED_BYTE, ramp);
    nearest();

    function nearest(mipmaps) {
        gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, mipmaps ? gl.NEAREST_MIPMAP_NEAREST : gl.NEAREST);
        gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
        gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
        gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    }

    const largestTexture = gl.getParameter(gl.MAX_TEXTURE_SIZE);

    // Each level the means of 2 x 2 pixels of the one below, the last row or
    // column of an odd size taken alone.
    function halve(values, width, height) {
        const w = Math.max(1, width >> 1), h = Math.max(1, height >> 1);
        const out = new Uint16Array(w * h);
        for (let y = 0; y < h; ++y) {
            const r0 = 2 * y * width, r1 = Math.min(2 * y + 1, height - 1) * width;
            for (let x = 0; x < w; ++x) {
                const x0 = 2 * x, x1 = Math.min(2 * x + 1, width - 1);
                out[y * w + x] = (values[r0 + x0] + values[r0 + x1] + values[r1 + x0] + values[r1 + x1] + 2) >> 2;
            }
        }
        return { values: out, width: w, height: h };
    }

    // What the GPU draws of a layer: its heights and their smaller levels.
    // A map wider than the GPU takes is drawn from a smaller level
    // (`stride` pixels a texel); the pointer still reads every pixel.
    function gridOf(layer) {
        if (layer.grid) return layer.grid;
        let level = { values: layer.values, width: layer.width, height: layer.height };
        let stride = 1;
        while (level.width > largestTexture || level.height > largestTexture) {
            level = halve(level.values, level.width, level.height);
            stride *= 2;
        }
        const levels = 1 + Math.floor(Math.log2(Math.max(level.width, level.height)));
        const texture = gl.createTexture();
        gl.bindTexture(gl.TEXTURE_2D, texture);
        gl.texStorage2D(gl.TEXTURE_2D, levels, gl.R16UI, level.width, level.height);
        gl.pixelStorei(gl.UNPACK_ALIGNMENT, 2);
        const base = level;
        for (let l = 0; l < levels; ++l) {
            gl.texSubImage2D(gl.TEXTURE_2D, l, 0, 0, level.width, level.height, gl.RED_INTEGER, gl.UNSIGNED_SHORT,
                level.values);
            if (l + 1 < levels) level = halve(level.values, level.width, level.height);
        }
        nearest(true);
        gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAX_LEVEL, levels - 1);
        layer.grid = { texture: texture, levels: levels, width: base.width, height: base.height, values: base.values,
            stride: stride };
        return layer.grid;
    }

    function marksTexture(change) {
        if (change.texture === null) {
            change.texture = gl.createTexture();
            gl.bindTexture(gl.TEXTURE_2D, change.texture);
            gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
            const layer = layers[layerIndex(state.heightmap, "after")];
            gl.texImage2D(gl.TEXTURE_2D, 0, gl.R8, layer.width, layer.height, 0, gl.RED, gl.UNSIGNED_BYTE,
                change.mask);
            nearest();
        }
        return change.texture;
    }

    // ---- the camera ----

    const spacing = meta.colours.pixelSpan;
    const fieldOfView = 40 * Math.PI / 180;
    const camera = { yaw: 0, pitch: 0, distance: 1, target: [0, 0, 0], exaggeration: 1, base: 1 };

    function shown() {
        return layers[layerIndex(state.heightmap, state.stage)];
    }

    // The map's extent in world units across (x, east) and down (z, south):
    // each pixel a square `spacing` wide, its colour the pixel's, its
    // corners at the height of the pixel south-east of them.
    function extent(layer) {
        return [layer.width * spacing, layer.height * spacing];
    }

    // The exaggeration at which the relief is at most the map's width: 1
    // for any real terrain.
    function baseExaggeration(layer) {
        const [w, d] = extent(layer);
        const relief = allHighest - allLowest, room = Math.max(w, d, spacing);
        return relief <= room ? 1 : Math.pow(2, Math.floor(Math.log2(room / relief)));
    }

    function resetView() {
        const layer = shown();
        const [w, d] = extent(layer);
        camera.base = baseExaggeration(layer);
        camera.exaggeration = camera.base;
        camera.yaw = 0;
        camera.pitch = 50 * Math.PI / 180;
        const radius = 0.5 * Math.hypot(w, d, (allHighest - allLowest) * camera.exaggeration) + spacing;
        const aspect = canvas.clientWidth / Math.max(1, canvas.clientHeight);
        const half = Math.min(fieldOfView / 2, Math.atan(Math.tan(fieldOfView / 2) * aspect));
        camera.distance = radius / Math.sin(half);
        camera.target = [0, 0, 0];
        showExaggeration();
    }

    function eye() {
        const c = Math.cos(camera.pitch);
        const t = targetPoint();
        return [t[0] + camera.distance * c * Math.sin(camera.yaw), t[1] + camera.distance * Math.sin(camera.pitch),
            t[2] + camera.distance * c * Math.cos(camera.yaw)];
    }

    // Every heightmap's heights, so that the view stays put when another is shown.
    const allLowest = Math.min(...meta.layers.map((layer) => layer.lowest));
    const allHighest = Math.max(...meta.layers.map((layer) => layer.highest));

    // The target sits at the middle of the heights, as exaggerated.
    function targetPoint() {
        return [camera.target[0], 0.5 * (allLowest + allHighest) * camera.exaggeration, camera.target[2]];
    }

    function subtract(a, b) { return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]; }
    function cross(a, b) { return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]; }
    function dot(a, b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
    function normalise(a) { const l = Math.hypot(a[0], a[1], a[2]) || 1; return [a[0] / l, a[1] / l, a[2] / l]; }

    // The eye's axes: forward, right and up.
    function axes() {
        const forward = normalise(subtract(targetPoint(), eye()));
        const right = normalise(cross(forward, [0, 1, 0]));
        return { forward: forward, right: right, up: cross(right, forward) };
    }

    // Column-major, as WebGL takes it.
    function viewProjection() {
        const e = eye(), { forward: f, right: r, up: u } = axes();
        const layer = shown();
        const [w, d] = extent(layer);
        const reach = Math.hypot(w, d, (layer.highest - layer.lowest) * camera.exaggeration) + 4 * spacing;
        const near = Math.max(camera.distance * 0.02, 0.1), far = camera.distance * 2 + 2 * reach;
        const aspect = canvas.width / Math.max(1, canvas.height);
        const g = 1 / Math.tan(fieldOfView / 2);
        const view = [r[0], u[0], -f[0], 0, r[1], u[1], -f[1], 0, r[2], u[2], -f[2], 0,
            -dot(r, e), -dot(u, e), dot(f, e), 1];
        const projection = [g / aspect, 0, 0, 0, 0, g, 0, 0, 0, 0, (far + near) / (near - far), -1,
            0, 0, 2 * far * near / (near - far), 0];
        const out = new Float32Array(16);
        for (let c = 0; c < 4; ++c) {
            for (let row = 0; row < 4; ++row) {
                let sum = 0;
                for (let k = 0; k < 4; ++k) sum += projection[k * 4 + row] * view[c * 4 + k];
                out[c * 4 + row] = sum;
            }
        }
        return out;
    }

    // The clipping planes of a view-projection matrix, each as (a, b, c, d)
    // with a x + b y + c z + d >= 0 inside.
    function frustum(m) {
        const planes = [];
        for (const [i, sign] of [[0, 1], [0, -1], [1, 1], [1, -1], [2, 1], [2, -1]]) {
            planes.push([m[3] + sign * m[i], m[7] + sign * m[4 + i], m[11] + sign * m[8 + i],
                m[15] + sign * m[12 + i]]);
        }
        return planes;
    }

    function boxOutside(planes, low, high) {
        for (const p of planes) {
            const x = p[0] >= 0 ? high[0] : low[0], y = p[1] >= 0 ? high[1] : low[1], z = p[2] >= 0 ? high[2] : low[2];
            if (p[0] * x + p[1] * y + p[2] * z + p[3] < 0) return true;
        }
        return false;
    }

    // The tiles to draw: a square of the map is split in four while its
    // quads, seen from the eye, would be wider than a few pixels of the
    // screen, and wider than a pixel of the map.
    const mostTiles = 1500;
    const quadOnScreen = 4;

    function chooseTiles(grid, matrix, layer) {
        const size = grid.stride * spacing;
        const cx = grid.width / 2, cz = grid.height / 2;
        const low = layer.lowest * camera.exaggeration, high = layer.highest * camera.exaggeration;
        const floorLevel = low - 0.03 * Math.max(grid.width, grid.height) * size;
        const e = eye(), planes = frustum(matrix);
        // Screen pixels a world unit at distance 1 spans.
        const perUnit = canvas.height / (2 * Math.tan(fieldOfView / 2));
        let root = quads;
        while (root < grid.width || root < grid.height) root *= 2;
        const tiles = [];
        let count = 0;
        const queue = [[0, 0, root]];
        while (queue.length > 0) {
            const [x0, y0, side] = queue.shift();
            if (x0 >= grid.width || y0 >= grid.height) continue;
            const x1 = Math.min(x0 + side, grid.width), y1 = Math.min(y0 + side, grid.height);
            const boxLow = [(x0 - cx) * size, floorLevel, (y0 - cz) * size];
            const boxHigh = [(x1 - cx) * size, high, (y1 - cz) * size];
            if (boxOutside(planes, boxLow, boxHigh)) continue;
            const dx = Math.max(boxLow[0] - e[0], 0, e[0] - boxHigh[0]);
            const dy = Math.max(low - e[1], 0, e[1] - high);
            const dz = Math.max(boxLow[2] - e[2], 0, e[2] - boxHigh[2]);
            const near = (side / quads) * size * perUnit > quadOnScreen * Math.max(Math.hypot(dx, dy, dz), 1e-6);
            if (side > quads && near && count + queue.length + 4 <= mostTiles) {
                const h = side / 2;
                queue.push([x0, y0, h], [x0 + h, y0, h], [x0, y0 + h, h], [x0 + h, y0 + h, h]);
            } else {
                tiles.push(x0, y0, side / quads);
                ++count;
            }
        }
        return { tiles: new Float32Array(tiles), floorLevel: floorLevel };
    }

    // ---- drawing ----

    let drawn = 0;
    let pending = false;
    const listeners = [];

    function requestDraw() {
        if (pending) return;
        pending = true;
        requestAnimationFrame(() => {
            pending = false;
            draw();
        });
    }

    function draw() {
        const layer = shown();
        if (layer === undefined) return;
        const ratio = window.devicePixelRatio || 1;
        const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
        const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
        if (canvas.width !== width || canvas.height !== height) {
            canvas.width = width;
            canvas.height = height;
        }
        gl.viewport(0, 0, width, height);
        gl.clearColor(0.114, 0.129, 0.149, 1);
        gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
        gl.enable(gl.DEPTH_TEST);

        const grid = gridOf(layer);
        const matrix = viewProjection();
        const chosen = chooseTiles(grid, matrix, layer);
        const size = grid.stride * spacing;
        const u = terrain.uniforms;
        gl.useProgram(terrain.program);
        gl.activeTexture(gl.TEXTURE0);
        gl.bindTexture(gl.TEXTURE_2D, grid.texture);
        gl.activeTexture(gl.TEXTURE1);
        gl.bindTexture(gl.TEXTURE_2D, rampTexture);
        const change = compare ? changes[state.heightmap] : undefined;
        const marked = change !== undefined && change !== null && state.marks && grid.stride === 1;
        gl.activeTexture(gl.TEXTURE2);
        gl.bindTexture(gl.TEXTURE_2D, marked ? marksTexture(change) : null);
        gl.uniform1i(u.heights, 0);
        gl.uniform1i(u.ramp, 1);
        gl.uniform1i(u.marks, 2);
        gl.uniform1i(u.showMarks, marked ? 1 : 0);
        gl.uniform2i(u.mapSize, grid.width, grid.height);
        gl.uniform1i(u.levels, grid.levels);
        gl.uniform1f(u.lowest, layer.lowest);
        gl.uniform1f(u.unit, layer.unit);
        gl.uniform1f(u.exaggeration, camera.exaggeration);
        gl.uniform1f(u.spacing, size);
        gl.uniform2f(u.centre, grid.width / 2, grid.height / 2);
        gl.uniform1f(u.floorLevel, chosen.floorLevel);
        gl.uniform1f(u.ambient, meta.colours.ambient);
        const c = meta.colours;
        gl.uniform4f(u.scale, c.top, c.depth, Math.pow(2, c.landShift), Math.pow(2, c.waterShift));
        gl.uniformMatrix4fv(u.viewProjection, false, matrix);
        gl.bindVertexArray(tileMesh.vao);
        gl.bindBuffer(gl.ARRAY_BUFFER, tileMesh.tiles);
        gl.bufferData(gl.ARRAY_BUFFER, chosen.tiles, gl.STREAM_DRAW);
        gl.drawElementsInstanced(gl.TRIANGLES, tileMesh.count, gl.UNSIGNED_SHORT, 0, chosen.tiles.length / 3);

        if (layer.lowest < 0) {
            // The sea, seen through, over the ground below height 0.
            gl.useProgram(water.program);
            const [w, d] = [grid.width * size, grid.height * size];
            gl.uniform2f(water.uniforms.halfSize, w / 2, d / 2);
            gl.uniformMatrix4fv(water.uniforms.viewProjection, false, matrix);
            const sea = 3 * 256;
            gl.uniform4f(water.uniforms.tint, ramp[sea] / 255, ramp[sea + 1] / 255, ramp[sea + 2] / 255, 0.45);
            gl.enable(gl.BLEND);
            gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
            gl.depthMask(false);
            gl.bindVertexArray(waterMesh);
            gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
            gl.depthMask(true);
            gl.disable(gl.BLEND);
        }
        gl.bindVertexArray(null);
        placeNorth(matrix, layer);
        ++drawn;
        body.dataset.frames = drawn;
        body.dataset.tiles = chosen.tiles.length / 3;
        for (const listener of listeners.splice(0)) listener();
    }

    // ---- north, the panel ----

    const north = document.getElementById("north");
    const needle = document.getElementById("needle");

    function project(matrix, p) {
        const x = matrix[0] * p[0] + matrix[4] * p[1] + matrix[8] * p[2] + matrix[12];
        const y = matrix[1] * p[0] + matrix[5] * p[1] + matrix[9] * p[2] + matrix[13];
        const w = matrix[3] * p[0] + matrix[7] * p[1] + matrix[11] * p[2] + matrix[15];
        if (w <= 0) return null;
        return [(x / w + 1) / 2 * canvas.clientWidth, (1 - y / w) / 2 * canvas.clientHeight];
    }

    // "N" just beyond the middle of the map's north edge, and the needle
    // pointing the way north lies on the screen.
    function placeNorth(matrix, layer) {
        const [, d] = extent(layer);
        const y = camera.exaggeration * layer.highest;
        const edge = project(matrix, [0, y, -d / 2 - 0.04 * Math.max(d, spacing * 8)]);
        north.hidden = edge === null;
        if (edge !== null) {
            north.style.left = edge[0] + "px";
            north.style.top = edge[1] + "px";
        }
        const t = targetPoint();
        const from = project(matrix, t), to = project(matrix, [t[0], t[1], t[2] - d / 4 - spacing]);
        if (from !== null && to !== null) {
            const angle = Math.atan2(to[0] - from[0], from[1] - to[1]) * 180 / Math.PI;
            needle.setAttribute("transform", "rotate(" + angle.toFixed(1) + ")");
        }
    }

    const exaggerationInput = document.getElementById("exaggeration");

    function showExaggeration() {
        exaggerationInput.value = Math.log10(camera.exaggeration / camera.base);
        const e = camera.exaggeration;
        document.getElementById("exaggeration-value").textContent =
            e >= 10 ? e.toFixed(0) : e >= 1 ? e.toFixed(1) : e.toPrecision(2);
    }

    function drawLegend() {
        const legend = document.getElementById("legend");
        const context = legend.getContext("2d");
        const c = meta.colours, span = c.top + c.depth;
        for (let x = 0; x < legend.width; ++x) {
            const h = -c.depth + span * (x + 0.5) / legend.width;
            const entry = h >= 0 ? 1025 + Math.floor(Math.min(h, c.top) / Math.pow(2, c.landShift))
                : Math.floor(Math.min(-h, c.depth) / Math.pow(2, c.waterShift));
            context.fillStyle = "rgb(" + ramp[3 * entry] + "," + ramp[3 * entry + 1] + "," + ramp[3 * entry + 2] + ")";
            context.fillRect(x, 0, 1, legend.height);
        }
        document.getElementById("legend-low").textContent = -c.depth;
        document.getElementById("legend-high").textContent = c.top;
        // 0 where it lies on the bar, unless it would crowd the ends' numbers.
        const zero = c.depth / span, label = document.getElementById("legend-zero");
        label.style.left = (100 * zero).toFixed(2) + "%";
        label.hidden = zero < 0.15 || zero > 0.85;
    }

    function showPanel() {
        const layer = shown();
        const info = layer.info;
        document.title = meta.input.split(/[\\/]/).pop() + " - heightmap " + info.heightmap +
            (info.stage ? " " + info.stage : "") + " - hmap";
        document.getElementById("source").textContent = info.stage === "after" ? meta.input + " with " + info.from +
            " imported" : info.stage === "before" ? meta.input + " before the import" : meta.input;
        document.getElementById("size").textContent = layer.width + " x " + layer.height + " px, heights " +
            layer.lowest + " to " + layer.highest;
        for (const button of document.querySelectorAll("[data-heightmap]")) {
            button.setAttribute("aria-pressed", Number(button.dataset.heightmap) === state.heightmap);
        }
        for (const button of document.querySelectorAll("[data-stage]")) {
            button.setAttribute("aria-pressed", button.dataset.stage === state.stage);
        }
        body.dataset.heightmap = state.heightmap;
        body.dataset.stage = state.stage;
        if (compare) {
            const lines = meta.comparisons[state.heightmap - 1];
            const change = changes[state.heightmap];
            let text = lines.join("\n");
            if (change === null) text += "\nchanged pixels: not marked, the sizes differ";
            else if (change !== undefined) text += "\nchanged pixels: " + change.count + " (marked)";
            document.getElementById("comparison").textContent = text;
            if (change) body.dataset.changed = change.count;
            else delete body.dataset.changed;
        }
    }

    // ---- the height under the pointer ----

    // Where a ray from the eye through the screen point (x, y) first meets
    // the ground: [column, row] of the drawn grid, or null.
    function pick(x, y) {
        const layer = shown(), grid = gridOf(layer);
        const { forward: f, right: r, up: u } = axes();
        const tanY = Math.tan(fieldOfView / 2), tanX = tanY * canvas.clientWidth / Math.max(1, canvas.clientHeight);
        const sx = (2 * x / canvas.clientWidth - 1) * tanX, sy = (1 - 2 * y / canvas.clientHeight) * tanY;
        const dir = [f[0] + r[0] * sx + u[0] * sy, f[1] + r[1] * sx + u[1] * sy, f[2] + r[2] * sx + u[2] * sy];
        const size = grid.stride * spacing, e = eye();
        // In grid units across, world units up.
        const o = [e[0] / size + grid.width / 2, e[1], e[2] / size + grid.height / 2];
        const d = [dir[0] / size, dir[1], dir[2] / size];
        const low = [0, layer.lowest * camera.exaggeration, 0];
        const high = [grid.width, layer.highest * camera.exaggeration, grid.height];
        let t0 = 0, t1 = Infinity;
        for (let i = 0; i < 3; ++i) {
            if (Math.abs(d[i]) < 1e-12) {
                if (o[i] < low[i] || o[i] > high[i]) return null;
                continue;
            }
            let a = (low[i] - o[i]) / d[i], b = (high[i] - o[i]) / d[i];
            if (a > b) [a, b] = [b, a];
            t0 = Math.max(t0, a);
            t1 = Math.min(t1, b);
        }
        if (!(t0 <= t1)) return null;
        const ground = (t) => {
            const gx = o[0] + d[0] * t, gz = o[2] + d[2] * t;
            const x0 = Math.min(Math.floor(gx), grid.width - 1), z0 = Math.min(Math.floor(gz), grid.height - 1);
            const fx = Math.min(1, Math.max(0, gx - x0)), fz = Math.min(1, Math.max(0, gz - z0));
            const at = (xx, zz) => grid.values[Math.max(0, Math.min(zz, grid.height - 1)) * grid.width +
                Math.max(0, Math.min(xx, grid.width - 1))];
            const h = (at(x0, z0) * (1 - fx) + at(x0 + 1, z0) * fx) * (1 - fz) +
                (at(x0, z0 + 1) * (1 - fx) + at(x0 + 1, z0 + 1) * fx) * fz;
            return o[1] + d[1] * t - (layer.lowest + layer.unit * h) * camera.exaggeration;
        };
        const across = Math.hypot(d[0], d[2]) * (t1 - t0);
        const steps = Math.min(20000, Math.ceil(across * 2) + 1);
        let before = t0;
        if (ground(t0) <= 0) return [o[0] + d[0] * t0, o[2] + d[2] * t0];
        for (let i = 1; i <= steps; ++i) {
            const t = t0 + (t1 - t0) * i / steps;
            if (ground(t) <= 0) {
                let a = before, b = t;
                for (let j = 0; j < 30; ++j) {
                    const m = (a + b) / 2;
                    if (ground(m) > 0) a = m; else b = m;
                }
                return [o[0] + d[0] * b, o[2] + d[2] * b];
            }
            before = t;
        }
        return null;
    }

    const pointerText = document.getElementById("pointer");

    function showPointer(x, y) {
        const at = pick(x, y);
        if (at === null) {
            pointerText.textContent = "";
            return;
        }
        const layer = shown(), grid = gridOf(layer);
        const px = Math.min(layer.width - 1, Math.max(0, Math.floor(at[0]) * grid.stride));
        const py = Math.min(layer.height - 1, Math.max(0, Math.floor(at[1]) * grid.stride));
        let text = "x " + px + ", y " + py + ", height " + layer.heightAt(py * layer.width + px);
        if (compare) {
            const other = layers[layerIndex(state.heightmap, state.stage === "after" ? "before" : "after")];
            if (other !== undefined && other.width === layer.width && other.height === layer.height) {
                text += " " + state.stage + ", " + other.heightAt(py * layer.width + px) + " " +
                    (state.stage === "after" ? "before" : "after");
            }
        }
        pointerText.textContent = text;
    }

    // ---- handling ----

    const pointers = new Map();
    let lastPointer = null;

    function orbit(dx, dy) {
        camera.yaw -= dx * 0.006;
        camera.pitch = Math.min(89.5 * Math.PI / 180, Math.max(2 * Math.PI / 180, camera.pitch + dy * 0.006));
    }

    function pan(dx, dy) {
        const scale = camera.distance * 2 * Math.tan(fieldOfView / 2) / Math.max(1, canvas.clientHeight);
        const c = Math.cos(camera.yaw), s = Math.sin(camera.yaw);
        // Right is (cos yaw, 0, -sin yaw) on the ground, away from the eye (-sin yaw, 0, -cos yaw).
        const along = dy / Math.max(0.2, Math.sin(camera.pitch));
        camera.target[0] -= (dx * c + along * s) * scale;
        camera.target[2] -= (-dx * s + along * c) * scale;
        const layer = shown(), [w, d] = extent(layer);
        camera.target[0] = Math.max(-w / 2, Math.min(w / 2, camera.target[0]));
        camera.target[2] = Math.max(-d / 2, Math.min(d / 2, camera.target[2]));
    }

    function zoom(factor) {
        const layer = shown(), [w, d] = extent(layer);
        camera.distance = Math.max(4 * spacing, Math.min(10 * Math.hypot(w, d) + 100 * spacing,
            camera.distance * factor));
    }

    canvas.addEventListener("pointerdown", (event) => {
        canvas.setPointerCapture(event.pointerId);
        pointers.set(event.pointerId, { x: event.clientX, y: event.clientY, button: event.button,
            pan: event.button !== 0 || event.shiftKey || event.ctrlKey || event.metaKey });
        canvas.style.cursor = "grabbing";
    });

    canvas.addEventListener("pointermove", (event) => {
        const p = pointers.get(event.pointerId);
        lastPointer = [event.offsetX, event.offsetY];
        if (p === undefined) {
            showPointer(event.offsetX, event.offsetY);
            return;
        }
        const dx = event.clientX - p.x, dy = event.clientY - p.y;
        if (pointers.size === 2) {
            // Two fingers: pinch to zoom, move together to pan.
            const [a, b] = [...pointers.values()];
            const before = Math.hypot(a.x - b.x, a.y - b.y);
            p.x = event.clientX;
            p.y = event.clientY;
            const after = Math.hypot(a.x - b.x, a.y - b.y);
            if (before > 0 && after > 0) zoom(before / after);
            pan(dx / 2, dy / 2);
        } else {
            p.x = event.clientX;
            p.y = event.clientY;
            if (p.pan) pan(dx, dy); else orbit(dx, dy);
        }
        requestDraw();
    });

    function release(event) {
        pointers.delete(event.pointerId);
        if (pointers.size === 0) canvas.style.cursor = "";
    }
    canvas.addEventListener("pointerup", release);
    canvas.addEventListener("pointercancel", release);
    canvas.addEventListener("pointerleave", () => {
        if (pointers.size === 0) pointerText.textContent = "";
    });
    canvas.addEventListener("contextmenu", (event) => event.preventDefault());
    canvas.addEventListener("wheel", (event) => {
        event.preventDefault();
        const lines = event.deltaMode === 1 ? 33 : event.deltaMode === 2 ? 400 : 1;
        // A touch pad's pinch comes as the wheel with Ctrl, in small steps.
        zoom(Math.exp(event.deltaY * lines * (event.ctrlKey ? 0.01 : 0.0015)));
        requestDraw();
    }, { passive: false });

    function choose(heightmap, stage) {
        const index = layerIndex(heightmap, stage);
        if (index < 0) return;
        decodeLayer(index).then(() => {
            state.heightmap = heightmap;
            state.stage = stage;
            showPanel();
            requestDraw();
        }).catch(failed);
    }

    for (const button of document.querySelectorAll("[data-heightmap]")) {
        const heightmap = Number(button.dataset.heightmap);
        button.hidden = !heightmaps.includes(heightmap) || heightmaps.length < 2;
        button.addEventListener("click", () => choose(heightmap, state.stage));
    }
    document.getElementById("stages").hidden = !compare;
    for (const button of document.querySelectorAll("[data-stage]")) {
        button.addEventListener("click", () => choose(state.heightmap, button.dataset.stage));
    }
    const marksInput = document.getElementById("marks");
    function setMarks(on) {
        state.marks = on;
        marksInput.checked = on;
        requestDraw();
    }
    marksInput.addEventListener("change", () => setMarks(marksInput.checked));
    document.getElementById("reset").addEventListener("click", () => {
        resetView();
        requestDraw();
    });
    exaggerationInput.addEventListener("input", () => {
        camera.exaggeration = camera.base * Math.pow(10, Number(exaggerationInput.value));
        showExaggeration();
        requestDraw();
    });

    window.addEventListener("keydown", (event) => {
        if (event.ctrlKey || event.metaKey || event.altKey) return;
        const onInput = event.target instanceof HTMLInputElement;
        const key = event.key.toLowerCase();
        if (key === "1" || key === "2") choose(Number(key), state.stage);
        else if (key === "b" && compare) choose(state.heightmap, "before");
        else if (key === "a" && compare) choose(state.heightmap, "after");
        else if (key === "m" && compare) setMarks(!state.marks);
        else if (key === "r") {
            resetView();
            requestDraw();
        } else if (!onInput && key.startsWith("arrow")) {
            const step = 12;
            orbit(key === "arrowleft" ? -step : key === "arrowright" ? step : 0,
                key === "arrowup" ? -step : key === "arrowdown" ? step : 0);
            requestDraw();
        } else if (key === "+" || key === "=") {
            zoom(0.8);
            requestDraw();
        } else if (key === "-") {
            zoom(1.25);
            requestDraw();
        } else return;
        event.preventDefault();
    });
    window.addEventListener("resize", requestDraw);
    canvas.addEventListener("webglcontextlost",
        () => stop("error", "The graphics card let go of the view: reload the page."));

    // For tests and the benchmark: draws `frames` frames, orbiting a step
    // each, and gives the milliseconds each took from the last.
    window.hmap = {
        timings: timings,
        orbit(frames) {
            return new Promise((resolve) => {
                const times = [];
                const next = () => {
                    times.push(performance.now());
                    if (times.length > frames) {
                        resolve(times.slice(1).map((t, i) => t - times[i]));
                        return;
                    }
                    orbit(8, 0);
                    listeners.push(next);
                    requestDraw();
                };
                next();
            });
        },
        pointAt(x, y) {
            showPointer(x, y);
            return pointerText.textContent;
        },
    };

    // ---- the first frame ----

    drawLegend();
    const first = layerIndex(1, state.stage);
    decodeLayer(first).then(() => {
        timings.unpacked = Math.round(performance.now());
        resetView();
        showPanel();
        listeners.push(() => requestAnimationFrame(() => {
            // The first frame is on the screen.
            timings.firstFrame = Math.round(performance.now());
            body.dataset.firstFrame = timings.firstFrame;
            body.dataset.state = "ready";
            // The other heightmaps, and what the import changes, while the
            // first is looked at.
            (async () => {
                for (let i = 0; i < meta.layers.length; ++i) await decodeLayer(i);
                if (compare) {
                    for (const h of heightmaps) changes[h] = findChanges(h);
                    showPanel();
                    requestDraw();
                }
                body.dataset.loaded = "all";
            })().catch(failed);
        }));
        requestDraw();
    }).catch(failed);
})();
