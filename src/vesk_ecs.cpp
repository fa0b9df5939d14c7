#include <vesk/vesk_ecs.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vesk {

namespace {

constexpr double PI = 3.141592653589793;
// Multiplier of the component hash: the 64-bit FNV prime, applied to whole type numbers.
constexpr std::uint64_t HASH_PRIME = 1099511628211ULL;

// The first record in `records` with identifier `id`, or none.
template <typename Record, typename Id>
OptionalRef<Record> findById(std::span<Record> records, Id id) noexcept {
  for (Record& record : records) {
    if (record.id == id) return OptionalRef<Record>(record);
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entities

Entity Entity::init(std::uint64_t id, std::string_view name) noexcept {
  return Entity{
      .id = EntityId::init(id),
      .name = name,
      .position = HomVec4::fromCartesian(0, 0, 0),
      .world_transform = PGL4::identity(),
      .parent_id = EntityId::invalid(),
      .version = 0,
      .state = EntityState::init,
  };
}

void Entity::activate() noexcept {
  if (state != EntityState::init && state != EntityState::inactive) return;
  state = EntityState::active;
  checkedIncrement(version);
}

void Entity::deactivate() noexcept {
  if (state != EntityState::active) return;
  // Deactivation is a two-step retirement; nothing in this layer finishes it, so the entity
  // stays `deactivating` and `activate` does not bring it back.
  state = EntityState::deactivating;
  checkedIncrement(version);
}

void Entity::setPosition(HomVec4 pos) noexcept {
  // Strictly above the zero-norm threshold; a NaN norm fails the test and keeps the old position.
  // An infinite norm is refused too: normalising it would store NaN, a position at distance 0
  // from every point, which would win every nearest-entity search.
  const double n = pos.norm();
  if (n > 1e-15 && n != std::numeric_limits<double>::infinity()) position = pos.normalize();
  checkedIncrement(version);
}

void Entity::setWorldTransform(PGL4 m) noexcept {
  world_transform = m;
  checkedIncrement(version);
}

double Entity::distanceTo(const Entity& other) const noexcept {
  return fsDistance(position, other.position);
}

// ---------------------------------------------------------------------------------------------
// Components

Component Component::init(ComponentTypeId type_id, EntityId entity_id,
                          std::string_view name) noexcept {
  return Component{
      .type_id = type_id, .entity_id = entity_id, .name = name, .state = ComponentState::init};
}

void Component::activate() noexcept {
  if (state == ComponentState::init || state == ComponentState::inactive) {
    state = ComponentState::active;
  }
}

void Component::deactivate() noexcept {
  if (state == ComponentState::active) state = ComponentState::inactive;
}

// ---------------------------------------------------------------------------------------------
// World

World World::init(Allocator allocator) noexcept {
  return World(allocator);
}

void World::deinit() noexcept {
  entities.deinit();
}

Result<EntityId> World::createEntity(std::string_view name) noexcept {
  const std::uint64_t id = next_id;
  // The identifier is spent before the append: a failed append never hands it out again.
  checkedIncrement(next_id);
  Entity entity = Entity::init(id, name);
  entity.activate();
  VESK_TRY(entities.append(entity));
  return EntityId::init(id);
}

OptionalRef<Entity> World::getEntity(EntityId id) noexcept {
  return findById(entities.items(), id);
}

OptionalRef<const Entity> World::getEntity(EntityId id) const noexcept {
  return findById(entities.items(), id);
}

// The answer is the plain scan's: the first active entity, in storage order, strictly nearer than
// every earlier one. Most entities are rejected from their squared norm and dot product alone,
// without the arc cosine; docs/exact-arithmetic.md shows why a rejected entity could never have
// been chosen, so the result is the plain scan's bit for bit.
std::optional<EntityId> World::findNearest(HomVec4 position) const noexcept {
  constexpr double REJECT_MARGIN = 0x1p-40;
  // Squared norms inside this range keep every product of the test a normal number; the lower
  // end is also far above the zero-norm threshold's square (1e-30).
  constexpr double SAFE_MIN = 1e-28;
  constexpr double SAFE_MAX = 1e100;
  // Below this threshold cosine the test would gain nothing and its products would underflow.
  constexpr double MIN_THRESHOLD = 1e-20;

  std::optional<EntityId> best_id;
  double best_dist = PI;
  const double sa = HomVec4::dot(position, position);
  const bool query_in_range = sa > SAFE_MIN && sa < SAFE_MAX;
  const double na = std::sqrt(sa);
  // Right-hand factor of the rejection test, t*t*sa; negative while nothing may be rejected.
  double bound = -1.0;

  for (const Entity& entity : entities) {
    if (!entity.isActive()) continue;
    const double s = HomVec4::dot(entity.position, entity.position);
    const double p = HomVec4::dot(position, entity.position);
    if (s > SAFE_MIN && s < SAFE_MAX && p * p < bound * s) [[likely]]
      continue;

    const double d = fsDistance(position, entity.position);
    if (!(d < best_dist)) continue;
    best_dist = d;
    best_id = entity.id;
    // Distances are never negative, so nothing stored later can be strictly nearer.
    if (d == 0.0) break;
    if (query_in_range) {
      // The cosine as `fsDistance` forms it; it is not NaN here, since NaN gives distance 0.
      const double c = std::min(std::fabs(p) / (na * std::sqrt(s)), 1.0);
      const double t = c - REJECT_MARGIN;
      bound = t > MIN_THRESHOLD ? (t * t) * sa : -1.0;
    }
  }
  return best_id;
}

std::uint32_t World::activeCount() const noexcept {
  std::uint32_t count = 0;
  for (const Entity& entity : entities) {
    if (entity.isActive()) checkedIncrement(count);
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Archetypes and registry

Archetype Archetype::init(Allocator allocator, ArchetypeId id) noexcept {
  return Archetype{
      .component_hash = 0,
      .component_types = ArrayList<ComponentTypeId>::init(allocator),
      .id = id,
      .entity_count = 0,
      .capacity = 0,
  };
}

void Archetype::deinit() noexcept {
  component_types.deinit();
}

Result<void> Archetype::addComponentType(ComponentTypeId type_id) noexcept {
  VESK_TRY(component_types.append(type_id));
  // Unsigned multiplication wraps modulo 2^64, which is what the hash wants.
  component_hash = (component_hash * HASH_PRIME) ^ type_id.id;
  return {};
}

bool Archetype::hasComponent(ComponentTypeId type_id) const noexcept {
  return std::ranges::find(component_types, type_id) != component_types.end();
}

void Archetype::addEntity() noexcept {
  checkedIncrement(entity_count);
}

void Archetype::removeEntity() noexcept {
  if (entity_count > 0) --entity_count;
}

QueryFilter QueryFilter::init(std::span<const ComponentTypeId> required) noexcept {
  return QueryFilter{.required = required, .excluded = {}, .optional = {}};
}

QueryFilter QueryFilter::initWithExclusions(std::span<const ComponentTypeId> required,
                                            std::span<const ComponentTypeId> excluded) noexcept {
  return QueryFilter{.required = required, .excluded = excluded, .optional = {}};
}

bool QueryFilter::matches(const Archetype& archetype) const noexcept {
  for (ComponentTypeId type : required) {
    if (!archetype.hasComponent(type)) return false;
  }
  for (ComponentTypeId type : excluded) {
    if (archetype.hasComponent(type)) return false;
  }
  return true;
}

QueryResult QueryResult::init(Allocator allocator) noexcept {
  return QueryResult(allocator);
}

void QueryResult::deinit() noexcept {
  matching_archetypes.deinit();
}

QueryResult::QueryResult(QueryResult&& other) noexcept
    : matching_archetypes(std::move(other.matching_archetypes)),
      total_entities(std::exchange(other.total_entities, 0)) {}

QueryResult& QueryResult::operator=(QueryResult&& other) noexcept {
  if (this != &other) {
    matching_archetypes = std::move(other.matching_archetypes);
    total_entities = std::exchange(other.total_entities, 0);
  }
  return *this;
}

ArchetypeRegistry ArchetypeRegistry::init(Allocator allocator) noexcept {
  return ArchetypeRegistry(allocator);
}

void ArchetypeRegistry::deinit() noexcept {
  // Destroying the archetypes releases their type arrays.
  archetypes.deinit();
}

Result<ArchetypeId> ArchetypeRegistry::createArchetype(
    std::span<const ComponentTypeId> component_types) noexcept {
  const ArchetypeId id = ArchetypeId::init(next_id);
  // Spent before anything can fail: a failed creation never hands the identifier out again.
  checkedIncrement(next_id);
  // The registry never sees a half-built archetype: whichever step fails, the archetype (or the
  // argument it was moved into) releases its type array on the way out.
  Archetype archetype = Archetype::init(archetypes.allocator(), id);
  for (ComponentTypeId type : component_types)
    VESK_TRY(archetype.addComponentType(type));
  VESK_TRY(archetypes.append(std::move(archetype)));
  return id;
}

OptionalRef<Archetype> ArchetypeRegistry::getArchetype(ArchetypeId id) noexcept {
  return findById(archetypes.items(), id);
}

OptionalRef<const Archetype> ArchetypeRegistry::getArchetype(ArchetypeId id) const noexcept {
  return findById(archetypes.items(), id);
}

std::uint32_t ArchetypeRegistry::count() const noexcept {
  return checkedCast<std::uint32_t>(archetypes.size());
}

Result<QueryResult> ArchetypeRegistry::query(Allocator allocator,
                                             QueryFilter filter) const noexcept {
  // On a failed append the partly filled result is released by its destructor on the way out.
  QueryResult result = QueryResult::init(allocator);
  for (const Archetype& archetype : archetypes) {
    if (!filter.matches(archetype)) continue;
    VESK_TRY(result.matching_archetypes.append(archetype.id));
    result.total_entities = checkedAdd(result.total_entities, archetype.entity_count);
  }
  return result;
}

}  // namespace vesk
