#include "meshfold/game/script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace meshfold {
namespace {

// A package's import lines: which texture (file, flags) each slot of a mesh
// gets. `want` lists slot:texture=file/flags, file "-" for a texture the
// package does not import.
TEST(PackageLines, EachSlotGetsTheTextureItsLastLineNames) {
    struct Case {
        const char* what;
        const char* mesh;
        std::string text;
        std::vector<std::string> want;
    };
    const std::string gun = "#exec MESH IMPORT MESH=BRAssaultGun ANIVFILE=MODELS\\WEAP_x7PR_pov_a.3d "
                            "DATAFILE=Models\\WEAP_x7PR_pov_d.3d\n";
    const Case cases[] = {
        {"a mesh name other than the file's, a game texture, paths in any case", "BRAssaultGun",
         gun + "#exec TEXTURE IMPORT NAME=BRAssaultGunTex1 FILE=textures\\X7PR2.pcx GROUP=Skins\n"
               "#exec MESHMAP SETTEXTURE MESHMAP=BRAssaultGun NUM=0 TEXTURE=DeusExItems.WeaponHandsTex\n"
               "#exec MESHMAP SETTEXTURE MESHMAP=BRAssaultGun NUM=3 TEXTURE=BRAssaultGunTex1\n"
               "#exec MESHMAP SETTEXTURE MESHMAP=WEAP_x7PR_pov NUM=4 TEXTURE=BRAssaultGunTex1\n",
         {"0:DeusExItems.WeaponHandsTex=-/0", "3:BRAssaultGunTex1=textures\\X7PR2.pcx/0"}},
        {"keys and words in any case, quoted values, spaces around =, forward slashes", "m",
         "  #EXEC texture import name=\"Two Words\" file = \"Tex/My Skin.pcx\" Flags=2\n"
         "#exec meshmap settexture meshmap=M num=1 texture=\"two words\"\r\n",
         {"1:two words=Tex/My Skin.pcx/2"}},
        {"an import without NAME= is named after its file", "M",
         "#exec TEXTURE IMPORT FILE=Textures\\Skin01.PCX FLAGS=2\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=2 TEXTURE=Pkg.Skins.skin01\n",
         {"2:Pkg.Skins.skin01=Textures\\Skin01.PCX/2"}},
        {"comments do not count, a trailing one does not spoil its line", "M",
         "// #exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=A\n"
         "/* #exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=2 TEXTURE=A */\n"
         "#exec TEXTURE IMPORT NAME=A FILE=a.pcx FLAGS=2\t//twosided\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=3 TEXTURE=A /* inline */ // and after\n"
         "#exec TEXTURE IMPORT NAME=B FILE=\"b//c.pcx\"\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=4 TEXTURE=B\n",
         {"3:A=a.pcx/2", "4:B=b//c.pcx/0"}},
        {"a later line of a slot wins, and a later import of a name", "M",
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=A\n"
         "#exec TEXTURE IMPORT NAME=A FILE=first.pcx\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=B\n"
         "#exec TEXTURE IMPORT NAME=B FILE=b1.pcx\n"
         "#exec TEXTURE IMPORT NAME=b FILE=b2.bmp GROUP=G\n",
         {"0:B=b2.bmp/0"}},
        {"a qualified name takes the import of its group, when one has it", "M",
         "#exec TEXTURE IMPORT NAME=Skin FILE=A_Skin.pcx GROUP=A\n"
         "#exec TEXTURE IMPORT NAME=Skin FILE=B_Sub_Skin.pcx GROUP=B.Sub\n"
         "#exec TEXTURE IMPORT NAME=Skin FILE=Skin.pcx\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Pkg.A.Skin\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=Pkg.b.sub.skin\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=2 TEXTURE=Pkg.Other.Skin\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=3 TEXTURE=XA.Skin\n",
         {"0:Pkg.A.Skin=A_Skin.pcx/0", "1:Pkg.b.sub.skin=B_Sub_Skin.pcx/0", "2:Pkg.Other.Skin=Skin.pcx/0",
          "3:XA.Skin=Skin.pcx/0"}},
        {"a mesh map made by MESHMAP NEW counts, other meshes' lines and broken lines do not", "jazz",
         "#exec MESHMAP NEW MESHMAP=JazzMap MESH=jazz\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=JazzMap NUM=1 TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=Other NUM=2 TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=jazz NUM=256 TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=jazz NUM=x TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=jazz NUM=3\n"
         "#exec TEXTURE IMPORT NAME=A\n",
         {"1:A=-/0"}},
        {"slot 255 is the last there is", "M",
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=255 TEXTURE=A\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=256 TEXTURE=A\n",
         {"255:A=-/0"}},
        {"an unclosed quote ends with its line: a comment on the next line is one", "M",
         "#exec TEXTURE IMPORT NAME=A FILE=\"a.pcx\n"
         "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=A // NUM=2\n",
         {"1:A=a.pcx/0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExecLines lines;
        readExecLines(c.text, 30, lines);
        std::vector<std::string> got;
        for (const SlotTexture& t : meshSlotTextures(lines, c.mesh)) {
            got.push_back(std::to_string(t.slot) + ":" + t.texture + "=" + (t.import ? t.import->file : "-") +
                          "/" + std::to_string(t.import ? t.import->flags : 0));
        }
        EXPECT_EQ(got, c.want);
    }
}

TEST(PackageLines, MeshImportsSequencesAndScriptPaths) {
    ExecLines lines;
    readExecLines("#exec MESH IMPORT MESH=BRAssaultGun ANIVFILE=\"MODELS\\WEAP x_a.3d\" DATAFILE=Models/x_d.3d\n"
                  "#exec MESH IMPORT ANIVFILE=Models\\nameless_a.3d\n"
                  "#exec MESH SEQUENCE MESH=brassaultgun SEQ=Fire STARTFRAME=4 NUMFRAMES=8 RATE=20\n"
                  "#exec MESH SEQUENCE MESH=Other SEQ=Walk NUMFRAMES=8\n",
                  24, lines);
    ASSERT_EQ(lines.meshImports.size(), 1u);
    EXPECT_EQ(lines.meshImports[0].mesh, "BRAssaultGun");
    EXPECT_EQ(lines.meshImports[0].animFile, "MODELS\\WEAP x_a.3d");
    EXPECT_EQ(lines.meshImports[0].dataFile, "Models/x_d.3d");
    const std::vector<MeshSequence> clips = meshSequences(lines, "BRASSAULTGUN");
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].name, "Fire");
    EXPECT_EQ(clips[0].first, 4u);
    EXPECT_EQ(clips[0].rate, 20);
    EXPECT_EQ(scriptPathParts(".\\Models//x_a.3d"), (std::vector<std::string>{"Models", "x_a.3d"}));
    EXPECT_EQ(scriptPathParts("../Textures\\A.pcx"), (std::vector<std::string>{"..", "Textures", "A.pcx"}));
    EXPECT_EQ(unqualifiedName("Pkg.Skins.Body"), "Body");
    EXPECT_EQ(unqualifiedName("Body"), "Body");
    // Comments stay out, line breaks stay in (a line's number is kept).
    EXPECT_EQ(withoutComments("a // b\n/* c\nd */e \"//f\""), "a     \n    \n    e \"//f\"");
}

} // namespace
} // namespace meshfold
