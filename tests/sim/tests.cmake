# The simulated sound system's own tests need only its layer.
target_link_libraries(sim_sim_backend_test PRIVATE timbrelo_sim)
target_link_libraries(sim_sim_backend_threads_test PRIVATE timbrelo_sim)
