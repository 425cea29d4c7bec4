// Stand-in for the JavaFX Swing module: the package that the launcher opens,
// and the dependency that brings javafx.graphics into the boot layer.
module javafx.swing {
    requires javafx.graphics;
}
