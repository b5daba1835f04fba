#include "gui/transform_matrix.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "gui/indexed_bitmap.h"

namespace corvane {

namespace {
using Matrix = std::array<std::array<float, 4>, 4>;

Matrix IdentityMatrix() {
  Matrix m{};
  for (int i = 0; i < 4; ++i) m[i][i] = 1;
  return m;
}
}  // namespace

void TransformMatrix::Identity() { m_m = IdentityMatrix(); }

void TransformMatrix::Multiply(const Matrix& by) {
  Matrix r{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += m_m[i][k] * by[k][j];
      r[i][j] = s;
    }
  m_m = r;
}

void TransformMatrix::Rotate(float a1, float a2, float a3) {
  // Row-vector rotations: p' = p * R.
  Matrix rx = IdentityMatrix(), ry = IdentityMatrix(), rz = IdentityMatrix();
  const float c1 = std::cos(a1), s1 = std::sin(a1);
  rx[1][1] = c1; rx[1][2] = s1; rx[2][1] = -s1; rx[2][2] = c1;
  const float c2 = std::cos(a2), s2 = std::sin(a2);
  ry[0][0] = c2; ry[0][2] = -s2; ry[2][0] = s2; ry[2][2] = c2;
  const float c3 = std::cos(a3), s3 = std::sin(a3);
  rz[0][0] = c3; rz[0][1] = s3; rz[1][0] = -s3; rz[1][1] = c3;
  Multiply(rx);
  Multiply(ry);
  Multiply(rz);
}

void TransformMatrix::Scale(float sx, float sy, float sz) {
  Matrix s = IdentityMatrix();
  s[0][0] = sx;
  s[1][1] = sy;
  s[2][2] = sz;
  Multiply(s);
}

void TransformMatrix::Translate(float tx, float ty, float tz) {
  m_m[3][0] += tx;
  m_m[3][1] += ty;
  m_m[3][2] += tz;
}

void TransformMatrix::TransformPoints(std::vector<TorusVertex>& vertices) const {
  for (auto& v : vertices) {
    const float p[4] = {v.x, v.y, v.z, v.w};
    float o[4] = {0, 0, 0, 0};
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) o[j] += p[k] * m_m[k][j];
    v.tx = o[0];
    v.ty = o[1];
    v.tz = o[2];
    v.tw = o[3];
  }
}

void TransformMatrix::TransformNormals(std::vector<TorusVertex>& vertices) const {
  for (auto& v : vertices) {
    v.tnx = v.nx * m_m[0][0] + v.ny * m_m[1][0] + v.nz * m_m[2][0];
    v.tny = v.nx * m_m[0][1] + v.ny * m_m[1][1] + v.nz * m_m[2][1];
    v.tnz = v.nx * m_m[0][2] + v.ny * m_m[1][2] + v.nz * m_m[2][2];
  }
}

void TransformMatrix::TransformFaceNormals(std::vector<TorusTriangle>& triangles) const {
  for (auto& t : triangles) {
    t.tnx = t.nx * m_m[0][0] + t.ny * m_m[1][0] + t.nz * m_m[2][0];
    t.tny = t.nx * m_m[0][1] + t.ny * m_m[1][1] + t.nz * m_m[2][1];
    t.tnz = t.nx * m_m[0][2] + t.ny * m_m[1][2] + t.nz * m_m[2][2];
  }
}

void TorusModel::Build() {
  constexpr float kRing = 60, kTube = 20;
  const float step = 2 * std::numbers::pi_v<float> / kSteps;
  vertices.assign(kSteps * kSteps, {});
  for (int i = 0; i < kSteps; ++i)
    for (int j = 0; j < kSteps; ++j) {
      const float u = static_cast<float>(i) * step, v = static_cast<float>(j) * step;
      TorusVertex& p = vertices[static_cast<size_t>(kSteps * i + j)];
      p.x = std::cos(u) * (kRing + kTube * std::cos(v));
      p.y = kTube * std::sin(v);
      p.z = std::sin(u) * (kRing + kTube * std::cos(v));
      p.w = 1;
      p.nx = std::cos(u) * std::cos(v);
      p.ny = std::sin(v);
      p.nz = std::sin(u) * std::cos(v);
    }
  triangles.clear();
  triangles.reserve(2 * kSteps * kSteps);
  auto index = [](int i, int j) { return kSteps * i + j; };
  for (int i = 0; i < kSteps; ++i)
    for (int j = 0; j < kSteps; ++j) {
      const int i1 = (i + 1) % kSteps, j1 = (j + 1) % kSteps;
      TorusTriangle a, b;
      a.v = {index(i, j), index(i1, j), index(i, j1)};
      b.v = {index(i1, j), index(i1, j1), index(i, j1)};
      triangles.push_back(a);
      triangles.push_back(b);
    }
  // Face normal (c - a) x (b - a): outward for the winding above.
  for (auto& t : triangles) {
    const auto& a = vertices[static_cast<size_t>(t.v[0])];
    const auto& b = vertices[static_cast<size_t>(t.v[1])];
    const auto& c = vertices[static_cast<size_t>(t.v[2])];
    const float ex = c.x - a.x, ey = c.y - a.y, ez = c.z - a.z;
    const float fx = b.x - a.x, fy = b.y - a.y, fz = b.z - a.z;
    const float nx = ey * fz - ez * fy, ny = ez * fx - ex * fz, nz = ex * fy - ey * fx;
    const float len = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (len > 0) {
      t.nx = nx / len;
      t.ny = ny / len;
      t.nz = nz / len;
    } else {
      t.nx = t.ny = t.nz = 0;
    }
  }
}

std::vector<int> TorusModel::Visible(const TransformMatrix& m) {
  m.TransformPoints(vertices);
  m.TransformNormals(vertices);
  m.TransformFaceNormals(triangles);
  std::vector<int> shown;
  for (size_t k = 0; k < triangles.size(); ++k) {
    auto& t = triangles[k];
    t.depth = 0;
    for (int idx : t.v) t.depth += vertices[static_cast<size_t>(idx)].tz;
    if (t.tnz >= 0) shown.push_back(static_cast<int>(k));
  }
  std::stable_sort(shown.begin(), shown.end(), [this](int p, int q) {
    return triangles[static_cast<size_t>(p)].depth < triangles[static_cast<size_t>(q)].depth;
  });
  return shown;
}

int TorusShade(float nz) {
  return nz >= 0 ? 10 + static_cast<int>(std::lround(120.0f * nz)) : 10;
}

void TorusModel::Draw(const TransformMatrix& m, IndexedBitmap& dib) {
  const std::vector<int> shown = Visible(m);
  dib.Fill(138);
  for (int k : shown) {
    const auto& t = triangles[static_cast<size_t>(k)];
    ShadedVertex corner[3];
    for (int c = 0; c < 3; ++c) {
      const auto& v = vertices[static_cast<size_t>(t.v[static_cast<size_t>(c)])];
      corner[c] = {static_cast<int>(std::lround(v.tx)), static_cast<int>(std::lround(v.ty)),
                   TorusShade(v.tnz)};
    }
    dib.FillShadedTriangle(corner[0], corner[1], corner[2]);
  }
}

}  // namespace corvane
