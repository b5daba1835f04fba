#pragma once
// TransformMatrix: a 4 x 4 float matrix in the row-vector convention (a point
// (x, y, z, 1) times the matrix; the fourth row holds the translation), and
// the shaded torus that the easter egg turns with it.
#include <array>
#include <vector>

namespace corvane {

class IndexedBitmap;

struct TorusVertex {
  float x = 0, y = 0, z = 0, w = 1;    // position
  float nx = 0, ny = 0, nz = 0;        // unit normal
  float tx = 0, ty = 0, tz = 0, tw = 1;  // transformed position
  float tnx = 0, tny = 0, tnz = 0;     // transformed normal
};

struct TorusTriangle {
  std::array<int, 3> v{};             // vertex indices
  float nx = 0, ny = 0, nz = 0;       // unit face normal (0 for a degenerate triangle)
  float tnx = 0, tny = 0, tnz = 0;    // transformed face normal
  float depth = 0;                    // sum of the vertices' transformed z
};

class TransformMatrix {
 public:
  TransformMatrix() { Identity(); }

  void Identity();
  // Multiplies by the rotation about x by a1, then about y by a2, then about z by a3.
  void Rotate(float a1, float a2, float a3);
  void Scale(float sx, float sy, float sz);
  // Adds to the translation row.
  void Translate(float tx, float ty, float tz);

  void TransformPoints(std::vector<TorusVertex>& vertices) const;
  // Rotation part only.
  void TransformNormals(std::vector<TorusVertex>& vertices) const;
  void TransformFaceNormals(std::vector<TorusTriangle>& triangles) const;

  float At(int row, int col) const { return m_m[row][col]; }

 private:
  void Multiply(const std::array<std::array<float, 4>, 4>& by);
  std::array<std::array<float, 4>, 4> m_m{};
};

// The torus of the easter egg: 10 x 10 vertices on a ring of radius 60 with a
// tube of radius 20, two triangles per grid cell, faces turned outward.
struct TorusModel {
  static constexpr int kSteps = 10;
  std::vector<TorusVertex> vertices;    // 100, index 10 * i + j
  std::vector<TorusTriangle> triangles;  // 200

  void Build();
  // Transforms everything by m and sets the depth keys; returns the indices
  // of the triangles that face the viewer (transformed normal z >= 0),
  // sorted by depth key ascending (farthest first).
  std::vector<int> Visible(const TransformMatrix& m);
  // One frame: the bitmap filled with index 138 and the visible triangles
  // shaded by their vertex normals (10 + round(120 nz), 10 when facing away).
  void Draw(const TransformMatrix& m, IndexedBitmap& dib);
};

// Palette index of a vertex for its transformed normal's z.
int TorusShade(float nz);

}  // namespace corvane
