//=============================================================================
// Cube: the bundled example mesh, a small turning cube, with its skin.
// The import lines as a package keeps them: this folder (examples/) is the
// package folder, so the paths below are relative to it. meshfold --to-gltf
// --uc reads them to show the cube's texture and sequences in its .glb.
//=============================================================================
class Cube extends Decoration;

#exec MESH IMPORT MESH=Cube ANIVFILE=Cube_a.3d DATAFILE=Cube_d.3d X=0 Y=0 Z=0
#exec MESH ORIGIN MESH=Cube X=0 Y=0 Z=0
#exec MESH SEQUENCE MESH=Cube SEQ=All STARTFRAME=0 NUMFRAMES=4
#exec MESH SEQUENCE MESH=Cube SEQ=Turn STARTFRAME=0 NUMFRAMES=4 RATE=8
#exec MESHMAP NEW MESHMAP=Cube MESH=Cube
#exec MESHMAP SCALE MESHMAP=Cube X=0.125 Y=0.125 Z=0.25

#exec TEXTURE IMPORT NAME=CubeTex FILE=Textures\CubeTex.pcx GROUP=Skins
#exec MESHMAP SETTEXTURE MESHMAP=Cube NUM=0 TEXTURE=CubeTex

defaultproperties
{
    DrawType=DT_Mesh
    Mesh=Mesh'Cube'
}
