// The JSON chunk: writeJson() lists its members in order; the mesh with its
// primitives and the record in its extras, and the animations, are written
// here, the rest by the files gltf_writer.h lists.
#include "gltf/write/gltf_writer.h"

#include "meshfold/game/format.h"

#include <algorithm>

namespace meshfold::glb {

namespace {

void jsonPrimitive(const GltfPlan& plan, const AccessorIds& a, std::size_t p, GltfOut& out) {
    put(out, "{\"attributes\":{\"POSITION\":");
    jsonUint(out, a.firstPosition);
    put(out, ",\"TEXCOORD_0\":");
    jsonUint(out, a.texcoord);
    put(out, "}");
    if (plan.layout.indices.empty()) {
        // Every triangle names a vertex the mesh does not have: the vertices
        // alone, as points.
        put(out, ",\"mode\":0");
    } else {
        put(out, ",\"indices\":");
        jsonUint(out, p);
        put(out, ",\"material\":");
        jsonUint(out, p);
    }
    const std::uint32_t targets = targetCount(plan);
    if (targets > 0) {
        put(out, ",\"targets\":[");
        for (std::uint32_t t = 0; t < targets; ++t) {
            put(out, t == 0 ? "{\"POSITION\":" : ",{\"POSITION\":");
            jsonUint(out, a.firstPosition + 1 + t);
            put(out, "}");
        }
        put(out, "]");
    }
    put(out, "}");
}

void jsonMeshExtras(const GltfPlan& plan, GltfOut& out) {
    const GltfSource& s = plan.source;
    const GltfLayout& l = plan.layout;
    put(out, ",\"extras\":{\"targetNames\":[");
    for (std::uint32_t t = 0; t < targetCount(plan); ++t) {
        put(out, t == 0 ? "\"Frame " : ",\"Frame ");
        jsonUint(out, t + 1);
        put(out, "\"");
    }
    put(out, "],\"meshfold\":{\"form\":");
    put(out, s.deusEx ? "\"deusex\"" : "\"unreal\"");
    put(out, ",\"frameSize\":");
    jsonUint(out, s.frameSize);
    put(out, ",\"vertexCount\":");
    jsonUint(out, l.vertexCount);
    put(out, ",\"polygonCount\":");
    jsonUint(out, l.polygonCount);
    put(out, ",\"fps\":");
    jsonNumber(out, s.fps);
    put(out, ",\"dataHeaderTail\":\"");
    put(out, toHex(s.data.subspan(kDataCountsSize, kDataHeaderTailSize)));
    put(out, "\",\"dataTrailer\":\"");
    put(out, toHex(s.data.subspan(kDataHeaderSize + std::size_t{l.polygonCount} * kTriangleRecordSize)));
    put(out, "\",\"triangles\":\"");
    put(out, toHex(l.triangleExtras));
    put(out, "\",\"looseTriangles\":\"");
    put(out, toHex(l.looseTriangles));
    put(out, "\",\"vertexOf\":\"");
    std::vector<std::uint8_t> extra((l.vertexOf.size() - l.vertexCount) * 2);
    for (std::size_t i = l.vertexCount; i < l.vertexOf.size(); ++i) {
        writeLe16(extra.data() + 2 * (i - l.vertexCount), l.vertexOf[i]);
    }
    put(out, toHex(extra));
    put(out, "\",\"check\":\"");
    put(out, checksumHex(plan.check));
    put(out, "\"}}");
}

void jsonMesh(const GltfPlan& plan, GltfOut& out) {
    const AccessorIds a = accessorIds(plan);
    put(out, ",\"meshes\":[{\"name\":");
    jsonString(out, plan.source.name);
    put(out, ",\"primitives\":[");
    const std::size_t primitives = std::max<std::size_t>(plan.layout.indices.size(), 1);
    for (std::size_t p = 0; p < primitives; ++p) {
        if (p > 0) {
            put(out, ",");
        }
        jsonPrimitive(plan, a, p, out);
    }
    put(out, "]");
    jsonMeshExtras(plan, out);
    put(out, "}]");
}

void jsonAnimation(const GltfPlan& plan, GltfOut& out) {
    const std::vector<MeshSequence> clips = clipsOf(plan);
    if (clips.empty()) {
        return;
    }
    const AccessorIds a = accessorIds(plan);
    put(out, ",\"animations\":[");
    for (std::size_t i = 0; i < clips.size(); ++i) {
        put(out, i == 0 ? "{\"name\":" : ",{\"name\":");
        jsonString(out, clips[i].name);
        put(out, ",\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"weights\"}}],"
                 "\"samplers\":[{\"input\":");
        jsonUint(out, a.times + 2 * i);
        put(out, ",\"output\":");
        jsonUint(out, a.weights + 2 * i);
        put(out, ",\"interpolation\":\"LINEAR\"}]}");
    }
    put(out, "]");
}

} // namespace

void writeJson(const GltfPlan& plan, GltfOut& out) {
    const BinLayout b = binLayout(plan);
    put(out, "{\"asset\":{\"version\":\"2.0\",\"generator\":\"meshfold\"},");
    if (anyUnlitTexture(plan)) {
        put(out, "\"extensionsUsed\":[\"KHR_materials_unlit\"],");
    }
    put(out, "\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"name\":");
    jsonString(out, plan.source.name);
    put(out, ",\"mesh\":0}]");
    jsonMesh(plan, out);
    jsonMaterials(plan, out);
    jsonTextures(plan, out);
    jsonAnimation(plan, out);
    jsonAccessors(plan, b, out);
    jsonBufferViews(plan, b, out);
    put(out, ",\"buffers\":[{\"byteLength\":");
    jsonUint(out, b.total);
    put(out, "}]}");
}

} // namespace meshfold::glb
