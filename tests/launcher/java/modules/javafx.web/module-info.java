// Stand-in for the JavaFX web module.
module javafx.web {
    exports javafx.scene.web;
}
