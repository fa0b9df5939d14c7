// The nearest-entity search exactly as it is defined: every active entity's Fubini-Study distance,
// a strictly smaller one winning. The tests and the benchmark hold the world's faster search
// against it.
#pragma once

#include <optional>

#include <vesk/vesk_ecs.hpp>

namespace vesk::testing {

inline std::optional<EntityId> plainFindNearest(const World& world, HomVec4 position) {
  std::optional<EntityId> best_id;
  double best_dist = 3.141592653589793;
  for (const Entity& entity : world.entities) {
    if (!entity.isActive()) continue;
    const double d = fsDistance(position, entity.position);
    if (d < best_dist) {
      best_dist = d;
      best_id = entity.id;
    }
  }
  return best_id;
}

}  // namespace vesk::testing
