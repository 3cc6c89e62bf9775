def test_import():
    import korvel_vorn  # noqa: F401
