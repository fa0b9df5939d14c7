// Entity-component layer on top of the projective kernel: entities placed in real projective
// 3-space, components, single-handler event buses, a `World` that owns entities and finds the
// active one nearest to a point, and archetypes (component-type combinations) with a registry and
// queries. It allocates only through the allocator its caller passes in; errors are values.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <vesk/vesk_base.hpp>
#include <vesk/vesk_kernel.hpp>

namespace vesk {

/// A reference to an element stored inside an owner's array, or nothing; it stays valid only
/// until the next append to that array (which may move every element) or the owner's release.
template <class T>
class OptionalRef {
 public:
  /// The absent reference.
  constexpr OptionalRef() noexcept = default;
  /// A reference to `target`.
  constexpr explicit OptionalRef(T& target) noexcept : ptr_(&target) {}

  /// Whether a target is designated.
  constexpr bool has_value() const noexcept { return ptr_ != nullptr; }
  /// Same as `has_value`, for use in conditions.
  constexpr explicit operator bool() const noexcept { return ptr_ != nullptr; }
  /// The target; using an absent reference stops with "attempt to use null value".
  constexpr T& operator*() const noexcept { return *checked(); }
  /// Member access on the target; stops with "attempt to use null value" when absent.
  constexpr T* operator->() const noexcept { return checked(); }

 private:
  constexpr T* checked() const noexcept {
    if (ptr_ == nullptr) panic("attempt to use null value");
    return ptr_;
  }

  T* ptr_ = nullptr;
};

/// A string that owns its characters, passed as a temporary (`S` as deduced for `S&&`): names
/// are borrowed views, and a view of it would dangle once the call returns. Such calls are
/// refused at compile time.
template <class S>
concept TemporaryString = std::same_as<S, std::string>;

// ---------------------------------------------------------------------------------------------
// Entities

/// Identity of an entity; 0 designates no entity.
struct EntityId {
  std::uint64_t id;

  /// Wraps `id` unchanged; 0 gives an identifier that is not valid.
  static constexpr EntityId init(std::uint64_t id) noexcept { return EntityId{id}; }
  /// The identifier that designates no entity (0).
  static constexpr EntityId invalid() noexcept { return EntityId{0}; }
  /// Whether the identifier designates an entity (is not 0).
  constexpr bool isValid() const noexcept { return id != 0; }
  friend constexpr bool operator==(EntityId, EntityId) noexcept = default;
};

/// Lifecycle of an entity; only `active` counts as active.
enum class EntityState : std::uint8_t {
  init = 0,
  active = 1,
  deactivating = 2,
  inactive = 3,
  destroyed = 4,
};

/// A named object placed in real projective 3-space; a plain value that owns no memory.
struct Entity {
  EntityId id;
  /// Borrowed display name: the caller keeps the bytes alive while the entity is used.
  std::string_view name;
  /// Position; of unit norm once set through `setPosition`.
  HomVec4 position;
  /// Transform from the entity's frame to the world.
  PGL4 world_transform;
  /// The parent entity; invalid when there is none.
  EntityId parent_id;
  /// Change counter: +1 for each lifecycle step taken and each position or transform update.
  std::uint64_t version;
  EntityState state;

  /// A new entity in state `init` at (0, 0, 0, 1), identity transform, no parent, version 0.
  static Entity init(std::uint64_t id, std::string_view name) noexcept;
  /// Refused: the entity would keep a view of a string destroyed at the end of the call.
  template <TemporaryString S>
  static Entity init(std::uint64_t id, S&& name) = delete;
  /// `init` or `inactive` becomes `active` (version +1); other states are left alone.
  void activate() noexcept;
  /// `active` becomes `deactivating` (version +1); other states are left alone.
  void deactivate() noexcept;
  /// Stores `pos` normalised when its norm exceeds 1e-15 and is finite (else keeps the old
  /// position); always increments `version`, stopping with "integer overflow" at its largest value.
  void setPosition(HomVec4 pos) noexcept;
  /// Stores `m` unchanged and increments `version` (stops with "integer overflow" at its limit).
  void setWorldTransform(PGL4 m) noexcept;
  /// Fubini-Study distance from this entity's position to `other`'s, in radians.
  double distanceTo(const Entity& other) const noexcept;
  /// Whether the state is `active`.
  bool isActive() const noexcept { return state == EntityState::active; }
};

// ---------------------------------------------------------------------------------------------
// Components

/// A component type number chosen by the caller; every value, 0 included, is ordinary.
struct ComponentTypeId {
  std::uint64_t id;

  /// Wraps `id` unchanged.
  static constexpr ComponentTypeId fromId(std::uint64_t id) noexcept { return ComponentTypeId{id}; }
  friend constexpr bool operator==(ComponentTypeId, ComponentTypeId) noexcept = default;
};

/// Lifecycle of a component; unlike an entity it can go back from `inactive` to `active`.
enum class ComponentState : std::uint8_t {
  init = 0,
  active = 1,
  inactive = 2,
  destroyed = 3,
};

/// A named piece of data of one type belonging to one entity; a plain value that owns no memory.
struct Component {
  ComponentTypeId type_id;
  EntityId entity_id;
  /// Borrowed display name: the caller keeps the bytes alive while the component is used.
  std::string_view name;
  ComponentState state;

  /// A new component in state `init`; neither the type nor the entity is looked up.
  static Component init(ComponentTypeId type_id, EntityId entity_id,
                        std::string_view name) noexcept;
  /// Refused: the component would keep a view of a string destroyed at the end of the call.
  template <TemporaryString S>
  static Component init(ComponentTypeId type_id, EntityId entity_id, S&& name) = delete;
  /// `init` or `inactive` becomes `active`; other states are left alone.
  void activate() noexcept;
  /// `active` becomes `inactive`; other states are left alone.
  void deactivate() noexcept;
  /// Whether the state is `active`.
  bool isActive() const noexcept { return state == ComponentState::active; }
};

// ---------------------------------------------------------------------------------------------
// Event buses

/// Announces that an entity moved, with the Fubini-Study distance (radians) it moved.
struct PositionChangedEvent {
  EntityId entity_id;
  HomVec4 old_position;
  HomVec4 new_position;
  double fs_distance_moved;
};

/// Announces that an entity's world transform changed.
struct TransformChangedEvent {
  EntityId entity_id;
  PGL4 old_transform;
  PGL4 new_transform;
};

/// Delivers events of type T synchronously to at most one handler; owns nothing.
template <class T>
struct EventBus {
  /// The installed handler, or null when none is installed.
  void (*handler)(T event);

  /// A bus with no handler.
  static constexpr EventBus init() noexcept { return EventBus{nullptr}; }
  /// Installs `h`, replacing any earlier handler; a null `h` stops with "attempt to use null
  /// value", since no operation removes a handler.
  void setHandler(void (*h)(T event)) noexcept {
    if (h == nullptr) panic("attempt to use null value");
    handler = h;
  }
  /// Calls the handler once with `event` and returns after it; does nothing without a handler.
  void dispatch(T event) const {
    if (handler != nullptr) handler(event);
  }
};

// ---------------------------------------------------------------------------------------------
// World

/// Owns the entities of a scene, stored by value in creation order; move-only. Its memory comes
/// from the allocator given to `init` and goes back in `deinit` (the destructor calls it too).
class World {
 public:
  /// All entities ever created, in creation order; owned by the world.
  ArrayList<Entity> entities;
  /// The identifier value the next `createEntity` hands out; starts at 1.
  std::uint64_t next_id = 1;
  /// Bus for position changes; the world never dispatches on it.
  EventBus<PositionChangedEvent> position_bus = EventBus<PositionChangedEvent>::init();
  /// Bus for transform changes; the world never dispatches on it.
  EventBus<TransformChangedEvent> transform_bus = EventBus<TransformChangedEvent>::init();

  /// An empty world bound to `allocator`; allocates nothing.
  static World init(Allocator allocator) noexcept;
  /// Releases the entity array (not the name bytes); safe to call again, the world is then empty.
  /// The destructor releases whatever is still owned, so leaving a scope early leaks nothing.
  void deinit() noexcept;

  /// Takes over `other`'s entities; `other` is left without any, bound to the same allocator.
  World(World&& other) noexcept = default;
  /// Releases this one's entities, then takes over `other`'s as the move constructor does.
  World& operator=(World&& other) noexcept = default;

  /// Creates, activates and stores an entity named by the borrowed `name`; returns its identifier
  /// or "OutOfMemory" (the world is then unchanged, but the identifier stays used). Stops with
  /// "integer overflow" when identifiers run out.
  [[nodiscard]] Result<EntityId> createEntity(std::string_view name) noexcept;
  /// Refused: the entity would keep a view of a string destroyed at the end of the call.
  template <TemporaryString S>
  Result<EntityId> createEntity(S&& name) = delete;
  /// The first stored entity with identifier `id`, in any state; absent when there is none.
  /// Valid until the next `createEntity` or `deinit`.
  OptionalRef<Entity> getEntity(EntityId id) noexcept;
  /// Read-only form of `getEntity`.
  OptionalRef<const Entity> getEntity(EntityId id) const noexcept;
  /// The active entity nearest to `position` (not necessarily normalised) by Fubini-Study
  /// distance, the first stored winning ties; absent when no entity is active.
  std::optional<EntityId> findNearest(HomVec4 position) const noexcept;
  /// Number of active entities; stops with "integer overflow" past the largest 32-bit value.
  std::uint32_t activeCount() const noexcept;

 private:
  explicit World(Allocator allocator) noexcept : entities(ArrayList<Entity>::init(allocator)) {}
};

// ---------------------------------------------------------------------------------------------
// Archetypes and registry

/// Identity of an archetype; 0 designates none.
struct ArchetypeId {
  std::uint32_t id;

  /// Wraps `id` unchanged.
  static constexpr ArchetypeId init(std::uint32_t id) noexcept { return ArchetypeId{id}; }
  /// The identifier that designates no archetype (0).
  static constexpr ArchetypeId invalid() noexcept { return ArchetypeId{0}; }
  /// Whether the identifier designates an archetype (is not 0).
  constexpr bool isValid() const noexcept { return id != 0; }
  friend constexpr bool operator==(ArchetypeId, ArchetypeId) noexcept = default;
};

/// One combination of component types, in the order added, with an entity counter. It owns its
/// type array, so it is move-only; the registry stores archetypes by value and moves them bit for
/// bit when its array grows.
struct Archetype {
  static constexpr bool trivially_relocatable = true;

  /// Multiply-then-XOR fold of the type numbers in order (FNV prime, start 0); 0 without types.
  std::uint64_t component_hash;
  /// The component types in the order added; repetitions are kept.
  ArrayList<ComponentTypeId> component_types;
  ArchetypeId id;
  /// Entities counted in this archetype; moved only by `addEntity` and `removeEntity`.
  std::uint32_t entity_count;
  /// Always 0: nothing reads or changes it.
  std::uint32_t capacity;

  /// An archetype without types whose type array will allocate through `allocator`.
  static Archetype init(Allocator allocator, ArchetypeId id) noexcept;
  /// Releases the type array (the destructor does too); safe to call again.
  void deinit() noexcept;
  /// Appends `type_id` and folds it into the hash; on "OutOfMemory" nothing changes.
  [[nodiscard]] Result<void> addComponentType(ComponentTypeId type_id) noexcept;
  /// Whether `type_id` is among the types.
  bool hasComponent(ComponentTypeId type_id) const noexcept;
  /// Counts one more entity; stops with "integer overflow" past the largest 32-bit value.
  void addEntity() noexcept;
  /// Counts one entity fewer; at 0 nothing happens.
  void removeEntity() noexcept;
};

/// Which archetypes a query selects: every `required` type present, no `excluded` type present.
/// The sequences are borrowed and must outlive every use of the filter.
struct QueryFilter {
  std::span<const ComponentTypeId> required;
  std::span<const ComponentTypeId> excluded;
  /// Carried along but never consulted; empty when built by the constructors below.
  std::span<const ComponentTypeId> optional;

  /// A filter requiring every type of `required`.
  static QueryFilter init(std::span<const ComponentTypeId> required) noexcept;
  /// A filter requiring every type of `required` and none of `excluded`.
  static QueryFilter initWithExclusions(std::span<const ComponentTypeId> required,
                                        std::span<const ComponentTypeId> excluded) noexcept;
  /// Whether `archetype` has every required type and no excluded one.
  bool matches(const Archetype& archetype) const noexcept;
};

/// The archetypes a query selected, in storage order, with their summed entity counts. Move-only;
/// owns its identifier array, released by `deinit` (the destructor calls it too).
class QueryResult {
 public:
  /// Identifiers of the matching archetypes; owned by the result.
  ArrayList<ArchetypeId> matching_archetypes;
  /// Sum of `entity_count` over the matching archetypes.
  std::uint32_t total_entities = 0;

  /// An empty result bound to `allocator`; allocates nothing.
  static QueryResult init(Allocator allocator) noexcept;
  /// Releases the identifier array; safe to call again. The destructor releases whatever is
  /// still owned, so leaving a scope early leaks nothing.
  void deinit() noexcept;

  /// Takes over `other`'s identifiers and total; `other` is left empty (total 0), bound to the
  /// same allocator.
  QueryResult(QueryResult&& other) noexcept;
  /// Releases this one's identifiers, then takes over `other`'s as the move constructor does.
  QueryResult& operator=(QueryResult&& other) noexcept;

 private:
  explicit QueryResult(Allocator allocator) noexcept
      : matching_archetypes(ArrayList<ArchetypeId>::init(allocator)) {}
};

/// Creates, stores and looks up archetypes, all allocating through the allocator given to `init`;
/// move-only, released by `deinit` (the destructor calls it too).
class ArchetypeRegistry {
 public:
  /// All archetypes created, in creation order, by value; owned by the registry.
  ArrayList<Archetype> archetypes;
  /// The identifier value the next `createArchetype` hands out; starts at 1.
  std::uint32_t next_id = 1;

  /// An empty registry bound to `allocator`; allocates nothing.
  static ArchetypeRegistry init(Allocator allocator) noexcept;
  /// Releases every archetype's type array and the archetype array; safe to call again. The
  /// destructor releases whatever is still owned, so leaving a scope early leaks nothing.
  void deinit() noexcept;

  /// Takes over `other`'s archetypes; `other` is left without any, bound to the same allocator.
  ArchetypeRegistry(ArchetypeRegistry&& other) noexcept = default;
  /// Releases this one's archetypes, then takes over `other`'s as the move constructor does.
  ArchetypeRegistry& operator=(ArchetypeRegistry&& other) noexcept = default;

  /// Stores a new archetype with the borrowed `component_types` (read, not retained) and returns
  /// its identifier, or "OutOfMemory" (the registry then holds what it held before, the identifier
  /// stays used, and nothing built is leaked). Stops with "integer overflow" when identifiers run
  /// out.
  [[nodiscard]] Result<ArchetypeId> createArchetype(
      std::span<const ComponentTypeId> component_types) noexcept;
  /// The first stored archetype with identifier `id`; absent when there is none. Valid until the
  /// next `createArchetype` or `deinit`.
  OptionalRef<Archetype> getArchetype(ArchetypeId id) noexcept;
  /// Read-only form of `getArchetype`.
  OptionalRef<const Archetype> getArchetype(ArchetypeId id) const noexcept;
  /// Number of stored archetypes; stops with "integer cast truncated bits" above 32 bits.
  std::uint32_t count() const noexcept;
  /// The archetypes matching `filter`, in storage order, with the sum of their entity counts, in
  /// a result allocated through `allocator` that the caller owns; "OutOfMemory" leaks nothing.
  /// Stops with "integer overflow" when the sum exceeds 32 bits.
  [[nodiscard]] Result<QueryResult> query(Allocator allocator, QueryFilter filter) const noexcept;

 private:
  explicit ArchetypeRegistry(Allocator allocator) noexcept
      : archetypes(ArrayList<Archetype>::init(allocator)) {}
};

}  // namespace vesk
